// tvqcrdut: the card utility for the TVQ-206 / TVQ-210CF unit.
#include "AppEntry.h"
#include "SeatlessWayland.h"
#include "Translations.h"

#include <QApplication>

#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
    // Answered before Qt looks for a display: packagers and scripts ask
    // this on machines that have none.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        const bool ok = std::printf("tvqcrdut %s\n", TVQ_VERSION) > 0 && std::fflush(stdout) == 0;
        return ok ? 0 : 1;
    }
    AvoidSeatlessInputMethod();
    QApplication app(argc, argv);
    InstallJapaneseTranslation(&app);
    return ProgramEntry();
}
