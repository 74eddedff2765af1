/*
 * terminal_screen.cpp - TerminalScreen.
 */
#include "terminal_screen.h"

#include <stdlib.h>

#include <vector>

namespace {

struct Screen {
    std::vector<std::string> Lines{std::string()};
    size_t Row = 0;
    size_t Column = 0;
};

std::string &CurrentLine(Screen &screen)
{
    while (screen.Lines.size() <= screen.Row) {
        screen.Lines.emplace_back();
    }
    return screen.Lines[screen.Row];
}

/* A cursor moved past the end of its line leaves blanks behind it, as a screen shows. */
void PadToCursor(Screen &screen)
{
    std::string &line = CurrentLine(screen);
    if (line.size() < screen.Column) {
        line.resize(screen.Column, ' ');
    }
}

void Put(Screen &screen, char c)
{
    std::string &line = CurrentLine(screen);
    if (line.size() <= screen.Column) {
        line.resize(screen.Column + 1, ' ');
    }
    line[screen.Column++] = c;
}

/* The numeric parameter at index (from 0) of a CSI sequence, or fallback when it is absent. */
size_t Parameter(const std::string &parameters, size_t index, size_t fallback)
{
    size_t start = 0;
    for (size_t i = 0; i < index; i++) {
        start = parameters.find(';', start);
        if (start == std::string::npos) {
            return fallback;
        }
        start++;
    }
    if (start >= parameters.size() || parameters[start] < '0' || parameters[start] > '9') {
        return fallback;
    }
    return strtoul(parameters.c_str() + start, nullptr, 10);
}

void Control(Screen &screen, const std::string &parameters, char final)
{
    size_t count = Parameter(parameters, 0, 1);
    if (count == 0 && final != 'K' && final != 'J') {
        count = 1;
    }
    switch (final) {
    case 'A':
        screen.Row = screen.Row > count ? screen.Row - count : 0;
        break;
    case 'B':
        screen.Row += count;
        break;
    case 'C':
        screen.Column += count;
        PadToCursor(screen);
        break;
    case 'D':
        screen.Column = screen.Column > count ? screen.Column - count : 0;
        break;
    case 'H':
    case 'f':
        screen.Row = Parameter(parameters, 0, 1) - 1;
        screen.Column = Parameter(parameters, 1, 1) - 1;
        PadToCursor(screen);
        break;
    case 'K': {
        std::string &line = CurrentLine(screen);
        size_t mode = Parameter(parameters, 0, 0);
        if (mode == 0 && line.size() > screen.Column) {
            line.resize(screen.Column);
        } else if (mode != 0) {
            line.assign(mode == 1 ? screen.Column : 0, ' ');
        }
        PadToCursor(screen);
        break;
    }
    case 'J':
        if (Parameter(parameters, 0, 0) >= 2) {
            screen.Lines.assign(1, std::string());
            screen.Row = 0;
            screen.Column = 0;
        } else {
            CurrentLine(screen).resize(screen.Column);
            screen.Lines.resize(screen.Row + 1);
        }
        break;
    default:
        break;
    }
}

} // namespace

std::string TerminalScreen(const std::string &written)
{
    Screen screen;
    for (size_t i = 0; i < written.size(); i++) {
        char c = written[i];
        if (c == '\x1b' && i + 1 < written.size() && written[i + 1] == '[') {
            size_t end = i + 2;
            while (end < written.size() && (written[end] < 0x40 || written[end] > 0x7e)) {
                end++;
            }
            if (end >= written.size()) {
                break; /* a sequence not yet complete */
            }
            Control(screen, written.substr(i + 2, end - i - 2), written[end]);
            i = end;
        } else if (c == '\x1b') {
            i++; /* a two-byte escape sequence */
        } else if (c == '\r') {
            screen.Column = 0;
        } else if (c == '\n') {
            screen.Row++;
            CurrentLine(screen);
        } else if (c == '\b') {
            if (screen.Column > 0) {
                screen.Column--;
            }
        } else if (static_cast<unsigned char>(c) >= 0x20) {
            Put(screen, c);
        }
    }
    CurrentLine(screen);
    std::string text;
    for (size_t row = 0; row < screen.Lines.size(); row++) {
        if (row > 0) {
            text += '\n';
        }
        text += screen.Lines[row];
    }
    return text;
}
