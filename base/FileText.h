// Reading whole input files, with errors that name the file.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace megfwd {

// The file's bytes; an InputError ("FILE: cannot open the file: reason")
// when it is missing, unreadable or a directory.
std::string readWholeFile(const std::string& path);

// Line and column (both from 1) of the byte at 0-based `offset` in `text`.
void lineAndColumn(const std::string& text, std::size_t offset, std::size_t& line, std::size_t& column);

// Parses a JSON file; malformed JSON is an InputError with line and column.
nlohmann::json readJsonFile(const std::string& path);
nlohmann::json parseJsonText(const std::string& text, const std::string& name);

// JSON text for people: objects one member per line, arrays of numbers on
// one line, arrays of such arrays one element per line.
std::string readableJson(const nlohmann::json& value);

// A double printed so that reading it back gives the same value.
std::string exactNumber(double v);

}  // namespace megfwd
