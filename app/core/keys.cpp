// Mnemonics and shortcut keys of the menu commands.
#include "app/core/keys.h"

#include <cctype>

namespace pw::app {

CommandKeys KeysOf(Command command) {
    switch (command) {
    case Command::NewLink:
        return {'N', "Ctrl+N"};
    case Command::EditLink:
        return {'E', "F2"};
    case Command::RemoveLink:
        return {'R', "Del"};
    case Command::SendBuffer:
        return {'S', "Ctrl+B"};
    case Command::Exit:
        return {'x', "Ctrl+Q"};
    case Command::Help:
        return {'H', "F1"};
    case Command::About:
        return {'A', ""};
    case Command::ProductWeb:
        return {'P', ""};
    }
    return {0, ""};
}

std::string MnemonicText(const char* text, char mnemonic) {
    const std::string source = text != nullptr ? text : "";
    std::size_t at = mnemonic != 0 ? source.find(mnemonic) : std::string::npos;
    if (at == std::string::npos && mnemonic != 0) {
        const auto c = static_cast<unsigned char>(mnemonic);
        const char other = static_cast<char>(std::isupper(c) ? std::tolower(c) : std::toupper(c));
        at = source.find(other);
    }
    std::string out;
    for (std::size_t i = 0; i < source.size(); ++i) {
        if (i == at) {
            out += '&';
        }
        out += source[i];
        if (source[i] == '&') {
            out += '&';
        }
    }
    return out;
}

} // namespace pw::app
