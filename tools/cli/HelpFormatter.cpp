#include "tools/cli/HelpFormatter.h"

#include <sstream>

namespace megfwd::cli {
namespace {

// Where the descriptions start.
constexpr std::size_t kDescriptionColumn = 30;

// A name column and a description beside it; a name too long for its column
// puts the description on the next line.
std::string twoColumns(const std::string& name, const std::string& description) {
    std::string line = "  " + name;
    if (description.empty()) return line + "\n";
    if (line.size() + 1 > kDescriptionColumn) line += "\n" + std::string(kDescriptionColumn, ' ');
    else line += std::string(kDescriptionColumn - line.size(), ' ');
    return line + wrapText(description, kHelpWidth - kDescriptionColumn, kDescriptionColumn) + "\n";
}

}  // namespace

std::string wrapText(const std::string& text, std::size_t width, std::size_t indent) {
    std::string out;
    std::istringstream paragraphs(text);
    std::string paragraph;
    bool firstParagraph = true;
    while (std::getline(paragraphs, paragraph)) {
        if (!firstParagraph) out += "\n" + std::string(indent, ' ');
        firstParagraph = false;
        std::istringstream words(paragraph);
        std::string word;
        std::size_t column = 0;
        while (words >> word) {
            if (column > 0 && column + 1 + word.size() > width) {
                out += "\n" + std::string(indent, ' ');
                column = 0;
            }
            if (column > 0) {
                out += ' ';
                ++column;
            }
            out += word;
            column += word.size();
        }
    }
    return out;
}

HelpFormatter::HelpFormatter() {
    label("SUBCOMMAND", "COMMAND");
    label("Usage", "Usage");
}

std::string HelpFormatter::make_option(const CLI::Option* opt, bool isPositional) const {
    return twoColumns(make_option_name(opt, isPositional) + make_option_opts(opt), make_option_desc(opt));
}

std::string HelpFormatter::make_option_name(const CLI::Option* opt, bool isPositional) const {
    if (isPositional) return opt->get_type_name().empty() ? opt->get_name(true, false) : opt->get_type_name();
    // The names without CLI11's "{false}" after a negating name.
    const std::string names = opt->get_name(false, true);
    std::string out;
    bool inBraces = false;
    for (char c : names) {
        if (c == '{') inBraces = true;
        if (!inBraces) out += c == ',' ? std::string(", ") : std::string(1, c);
        if (c == '}') inBraces = false;
    }
    return out;
}

std::string HelpFormatter::make_option_opts(const CLI::Option* opt) const {
    if (opt->get_positional() || opt->get_type_size() == 0 || opt->get_type_name().empty()) return {};
    return " " + opt->get_type_name();
}

std::string HelpFormatter::make_subcommand(const CLI::App* sub) const {
    return twoColumns(sub->get_display_name(true), sub->get_description());
}

std::string HelpFormatter::make_description(const CLI::App* app) const {
    const std::string d = app->get_description();
    return d.empty() ? std::string() : wrapText(d, kHelpWidth, 0) + "\n\n";
}

std::string HelpFormatter::make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const {
    // CLI11 separates groups by two blank lines; one is enough.
    std::string help = CLI::Formatter::make_help(app, std::move(name), mode);
    for (std::size_t at; (at = help.find("\n\n\n")) != std::string::npos;) help.erase(at, 1);
    return help;
}

std::string HelpFormatter::make_footer(const CLI::App* app) const {
    const std::string f = app->get_footer();
    return f.empty() ? std::string() : f + "\n";
}

}  // namespace megfwd::cli
