// Keyboard access to the main window: the letter each menu item underlines (its mnemonic) and the
// shortcut keys of the commands. The key texts are Qt's portable key sequence texts ("Ctrl+N").
#pragma once

#include "app/core/app_state.h"

#include <string>

namespace pw::app {

// The mnemonics of the two menus.
constexpr char MENU_TOOLS_MNEMONIC = 'T';
constexpr char MENU_ABOUT_MNEMONIC = 'A';

struct CommandKeys {
    char mnemonic;         // letter underlined in the menu item; 0 for none
    const char* shortcuts; // the shortcut keys, separated by "; " ("" for none)
};

// The keys of a menu command. Edit Link's Enter works in the links list only (see MainDialog):
// elsewhere in the window it would steal Enter from the buttons.
[[nodiscard]] CommandKeys KeysOf(Command command);

// `text` with the ampersand that marks `mnemonic` as the underlined letter: before its first
// occurrence as given, else before the first in the other letter case; ampersands of the text
// itself are doubled so they show as they are. Without `mnemonic` in the text (or 0) the text
// only has its ampersands doubled.
[[nodiscard]] std::string MnemonicText(const char* text, char mnemonic);

} // namespace pw::app
