#pragma once

class QCoreApplication;

// Installs Qt's own Japanese texts (qtbase_ja) for the standard buttons and
// dialogs. False when the translation is not installed; the program then
// runs with Qt's English texts.
bool InstallJapaneseTranslation(QCoreApplication *app);
