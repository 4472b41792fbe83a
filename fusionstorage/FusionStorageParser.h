// Reading the key=value output of FusionStorage's tools, and quoting values for the shell
// lines that start them.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace FusionStorage {

// Fills values from tool output: lines of comma-separated key=value fields. A comma or '='
// inside double quotes belongs to the text; the quotes themselves are dropped. Blanks, tabs and
// carriage returns around keys and values are trimmed (the tools may end lines with CR LF).
// A field without '=' is a key with an empty value; a=b=c gives key a, value b; an empty key
// is skipped; a key seen again replaces the earlier value. A line that starts with one of the
// tools' log prefixes ("DEBUG ", "INFO  ", "ERROR ") is read without its prefix, so keys are
// found whether or not a tool reports its result through its logger.
void ParseToolOutput(const std::string& output, std::map<std::string, std::string>& values);

// A decimal number of digits only that fits in 64 bits; false for anything else (the value is
// then left untouched).
bool ParseDecimal(const std::string& text, uint64_t& value);

// A value as one shell word: unchanged when it holds only characters the shell never
// interprets, otherwise in single quotes (an embedded single quote becomes '\'').
std::string ShellWord(const std::string& value);

// A value for use between double quotes on a shell line: '$', '`', '"' and '\' get a
// backslash, so the shell hands the text over literally.
std::string ShellInDoubleQuotes(const std::string& value);

}  // namespace FusionStorage
