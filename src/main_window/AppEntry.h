// The program entry: single instance, library check, the windows, the
// verdict on the unit found at start-up, the message loop.
#pragma once

#include "AppForms.h"

#include <QString>
#include <functional>

struct ProgramEntryOptions {
    // Runs the message loop; QApplication::exec when empty.
    std::function<int()> runLoop;
    // The pass-through library to load; the one beside the program when empty.
    QString libraryPath;
    AppFormsOptions forms;
};

// Returns the process's exit code: 0 after a normal run and for a second
// copy, 1 when the library is unusable or the unit was refused.
int ProgramEntry(const ProgramEntryOptions &options = ProgramEntryOptions());

QString StartupFirmwareErrorText();
QString StartupModeErrorText();
QString LibraryErrorText();
