// tokens.cpp - the scenario line tokenizer.
#include "tokens.h"

#include <cctype>

namespace {

int Hex(char c)
{
    if (std::isdigit(static_cast<unsigned char>(c)))
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// One escape after a backslash at line[i]; advances i past it.
bool Escape(const std::string &line, size_t *i, std::string *out, std::string *error)
{
    size_t k = *i + 1;
    char c = k < line.size() ? line[k] : '\0';
    switch (c) {
    case '"': case '\\': *out += c; break;
    case 'n': *out += '\n'; break;
    case 't': *out += '\t'; break;
    case 'x': {
        int hi = k + 1 < line.size() ? Hex(line[k + 1]) : -1;
        int lo = k + 2 < line.size() ? Hex(line[k + 2]) : -1;
        if (hi < 0 || lo < 0) {
            *error = "expected two hex digits after \\x";
            return false;
        }
        *out += static_cast<char>(hi * 16 + lo);
        k += 2;
        break;
    }
    default:
        *error = "expected an escape (\\\" \\\\ \\n \\t \\xNN) after the backslash";
        return false;
    }
    *i = k;
    return true;
}

bool Quoted(const std::string &line, size_t *i, Token *tok, std::string *error)
{
    tok->quoted = true;
    for (size_t k = *i + 1; k < line.size(); ++k) {
        if (line[k] == '"') {
            *i = k + 1;
            return true;
        }
        if (line[k] == '\\') {
            if (!Escape(line, &k, &tok->text, error))
                return false;
        } else {
            tok->text += line[k];
        }
    }
    *error = "expected a closing quote";
    return false;
}

} // namespace

bool Tokenize(const std::string &line, std::vector<Token> *tokens, std::string *error)
{
    size_t i = 0;
    while (i < line.size()) {
        char c = line[i];
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
        } else if (c == '#') {
            break;
        } else if (c == '"') {
            Token tok;
            if (!Quoted(line, &i, &tok, error))
                return false;
            tokens->push_back(tok);
        } else {
            Token tok;
            while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i])) &&
                   line[i] != '#' && line[i] != '"')
                tok.text += line[i++];
            tokens->push_back(tok);
        }
    }
    return true;
}
