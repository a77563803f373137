// Creation of the program's windows, shared by the program entry and the
// tests so that both build the application the same way.
#pragma once

struct AppFormsOptions {
    // Device-change notices from the virtual bus to the main window.
    bool deviceNotices = true;
    // WM_SLOT_CHANGED from other processes (local socket in the runtime directory).
    bool messagePort = true;
};

// Creates the main window and starts watching the bus before its creation
// scans and checks the unit (notices that come meanwhile wait until the
// start-up information box has closed), then,
// only when StartupResult is 0, the card access dialog, the about box, the
// access parameters dialog and the drive list, in that order; sets the form
// pointers. True when StartupResult is 0.
bool CreateApplicationForms(const AppFormsOptions &options = AppFormsOptions());
// Destroys them in reverse order (the card access dialog saves the file
// names); releases the unit when the main window never closed. Safe to call twice.
void DestroyApplicationForms();
