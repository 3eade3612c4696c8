// The application object's names, set alike by the program and by the window tests.
#pragma once

// The program's name, the main window's title and the error box's.
inline constexpr const char* kProgramName = "Tagvista";

// Sets the application name. No display name: the window systems' plugins would append it to
// the title of every other window ("... — Tagvista"), and the titles are the program's own texts.
// Main thread, once the QApplication exists.
void configureApplication();
