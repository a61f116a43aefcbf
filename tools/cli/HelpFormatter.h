// The help pages of megfwd: each option as "--name VALUE" with its
// description wrapped beside it within 80 columns, and none of the parser's
// own annotations (default values in braces, REQUIRED, Excludes, type names
// such as TEXT or INT:POSITIVE): what a value means and what is accepted is
// said in the description, in words.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

namespace megfwd::cli {

constexpr std::size_t kHelpWidth = 80;

// `text` broken into lines of at most `width` columns at blanks (a word
// longer than that stands alone); lines after the first, and the lines after
// each newline in `text`, start with `indent` blanks.
std::string wrapText(const std::string& text, std::size_t width, std::size_t indent);

class HelpFormatter : public CLI::Formatter {
public:
    HelpFormatter();
    std::string make_option(const CLI::Option* opt, bool isPositional) const override;
    std::string make_option_name(const CLI::Option* opt, bool isPositional) const override;
    std::string make_option_opts(const CLI::Option* opt) const override;
    std::string make_subcommand(const CLI::App* sub) const override;
    std::string make_description(const CLI::App* app) const override;
    std::string make_footer(const CLI::App* app) const override;
    std::string make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const override;
};

}  // namespace megfwd::cli
