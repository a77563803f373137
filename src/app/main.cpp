// tvqcrdut: the card utility for the TVQ-206 / TVQ-210CF unit.
#include "AppEntry.h"
#include "Translations.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    InstallJapaneseTranslation(&app);
    return ProgramEntry();
}
