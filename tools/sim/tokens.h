// tokens.h - splitting one scenario line into words and quoted strings.
#pragma once

#include <string>
#include <vector>

struct Token {
    std::string text; // unquoted and unescaped for a quoted string
    bool quoted = false;
};

// Words are separated by blanks; "..." is one token with \" \\ \n \t and
// \xNN escapes; '#' outside quotes ends the line.  On failure *error says
// what was expected.
bool Tokenize(const std::string &line, std::vector<Token> *tokens, std::string *error);
