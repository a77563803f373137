// The program's 2 MB read, write and compare, run through the real card
// access dialog (offscreen) on a virtual card without throttle, side by side
// with dd bs=64k and cmp on the same files in the same run.
//
//   bench_cardacc [--rounds N] [--dir DIR]
//
// Each figure is the best of the rounds; the ratios are program / tool.
#include "CardAcc.h"
#include "Forms.h"
#include "InputLba.h"
#include "ModalForm.h"
#include "MsgBox.h"
#include "UnitState.h"
#include "VBus.h"
#include "scsiio.h"
#include "tvq2xx.h"

#include <QApplication>
#include <QPushButton>
#include <QRadioButton>
#include <QLineEdit>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint64_t kBytes = 0x1000 * 512;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Runs a tool; the wall time, or a negative value when it failed.
// cmp exits 1 for files that differ: that counts as a failure here too.
double TimeTool(const std::vector<std::string> &args)
{
    const auto t0 = Clock::now();
    const pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        std::vector<char *> argv;
        for (const auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const double s = Seconds(Clock::now() - t0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? s : -1;
}

std::vector<uint8_t> ReadAll(const std::string &path, uint64_t bytes)
{
    std::vector<uint8_t> v(bytes);
    std::ifstream f(path, std::ios::binary);
    f.read(reinterpret_cast<char *>(v.data()), static_cast<std::streamsize>(bytes));
    v.resize(static_cast<size_t>(f.gcount()));
    return v;
}

void WriteAll(const std::string &path, const std::vector<uint8_t> &bytes, bool truncate)
{
    std::ofstream f(path, std::ios::binary | (truncate ? std::ios::trunc : std::ios::in | std::ios::out));
    f.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> Random(uint64_t bytes, uint32_t seed)
{
    std::vector<uint8_t> v(bytes);
    uint32_t x = seed;
    for (auto &b : v) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return v;
}

// One operation of the dialog, timed from OK in the parameter dialog to the
// return of the click handler; *whole gets the time from the click itself.
double RunOperation(QPushButton *button, const QString &file, double *whole = nullptr)
{
    double seconds = -1;
    QTimer::singleShot(0, CardAccDlg, [&] {
        Clock::time_point ok;
        QTimer::singleShot(0, InputLbaDlg, [&] {
            InputLbaDlg->rbtAccAll->click();  // the first 2 MB
            InputLbaDlg->edtFilePath->setText(file);
            ok = Clock::now();
            InputLbaDlg->btnOk->click();
        });
        const auto t0 = Clock::now();
        button->click();
        const auto t1 = Clock::now();
        seconds = Seconds(t1 - ok);
        if (whole)
            *whole = Seconds(t1 - t0);
        CardAccDlg->SetModalResult(mrCancel);
    });
    CardAccDlg->ShowModal();
    return seconds;
}

} // namespace

int main(int argc, char **argv)
{
    int rounds = 7;
    std::string base;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--rounds" && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
        else if (a == "--dir" && i + 1 < argc)
            base = argv[++i];
        else {
            std::fprintf(stderr, "usage: bench_cardacc [--rounds N] [--dir DIR]\n");
            return 2;
        }
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);

    std::string tmpl = ((base.empty() ? std::filesystem::temp_directory_path() : std::filesystem::path(base)) /
                        "bench_cardacc.XXXXXX")
                           .string();
    if (!mkdtemp(tmpl.data())) {
        std::perror("bench_cardacc: mkdtemp");
        return 1;
    }
    const std::string root = tmpl;
    const std::string busDir = root + "/bus";
    setenv("QEVCRDIO_BUS", busDir.c_str(), 1);
    std::string why;
    if (!LoadScsiLibrary(&why)) {
        std::fprintf(stderr, "bench_cardacc: %s\n", why.c_str());
        return 1;
    }

    vbus::Bus bus(busDir);
    bus.CreateUnit("u", vbus::UnitDesc());
    const std::string image = bus.InsertBlank("u", 1, 64ull << 20);
    const std::vector<uint8_t> cardData = Random(kBytes, 1);
    const std::vector<uint8_t> fileData = Random(kBytes, 2);
    WriteAll(image, cardData, false);

    std::memset(SlotTable, 0, sizeof SlotTable);
    DeviceCount = ScanUnit(SlotTable);
    if (DeviceCount == 0 || !ReadFirmwareInfo(UnitInfo)) {
        std::fprintf(stderr, "bench_cardacc: no unit on the virtual bus\n");
        return 1;
    }
    CheckUnit(true, UnitInfo);
    for (uint32_t i = 0; i < DeviceCount; ++i)
        ReadDriveInfo(i, SlotTable[i]);
    ReadSlotStatus(SlotStatusBlock);
    SlotPresenceMask = SlotStatusBlock.CardMask;
    VdTargetSlot = static_cast<int32_t>(SlotStatusBlock.VdTarget);
    OpenLampIndex = 1;
    OpenSlotIndex = SlotEntryOf(1);

    std::unique_ptr<uint8_t[]> buffer(new uint8_t[kTransferBufferSize]);
    TransferBuffer = buffer.get();
    std::vector<QString> unexpected;
    SetMsgResponder([&](const MsgBoxCall &c) {
        // Only the completion boxes and the overwrite question belong to a clean run.
        if (c.kind != MsgKind::Plain && c.text != QStringLiteral("上書きしますか？"))
            unexpected.push_back(c.text);
        return c.buttons == MsgButtons::YesNo ? int(mrYes) : int(mrOk);
    });
    InputLbaDlg = new TInputLbaDlg;
    CardAccDlg = new TCardAccDlg;

    const std::string progRead = root + "/prog-read.bin", ddRead = root + "/dd-read.bin";
    const std::string source = root + "/source.bin";
    WriteAll(source, fileData, true);

    double best[6] = {1e9, 1e9, 1e9, 1e9, 1e9, 1e9};
    double whole[3] = {1e9, 1e9, 1e9}, w = 0;
    bool ok = true;
    for (int r = 0; r < rounds && ok; ++r) {
        // Read: card to file.
        WriteAll(image, cardData, false);
        const double pr = RunOperation(CardAccDlg->btnRead, QString::fromStdString(progRead), &w);
        whole[0] = std::min(whole[0], w);
        const double dr = TimeTool({"dd", "if=" + image, "of=" + ddRead, "bs=64k", "count=32", "status=none"});
        ok = ok && pr >= 0 && dr >= 0 && ReadAll(progRead, kBytes + 1) == cardData && ReadAll(ddRead, kBytes) == cardData;

        // Write: file to card, then dd the same file over the same sectors.
        WriteAll(image, cardData, false);
        const double pw = RunOperation(CardAccDlg->btnWrite, QString::fromStdString(source), &w);
        whole[1] = std::min(whole[1], w);
        ok = ok && pw >= 0 && ReadAll(image, kBytes) == fileData;
        WriteAll(image, cardData, false);
        const double dw = TimeTool({"dd", "if=" + source, "of=" + image, "bs=64k", "count=32", "conv=notrunc",
                                    "status=none"});
        ok = ok && dw >= 0 && ReadAll(image, kBytes) == fileData;

        // Compare: card (now equal to the file) with the file.
        const double pc = RunOperation(CardAccDlg->btnCompare, QString::fromStdString(source), &w);
        whole[2] = std::min(whole[2], w);
        const double cc = TimeTool({"cmp", "-n", std::to_string(kBytes), image, source});
        ok = ok && pc >= 0 && cc >= 0;

        const double t[6] = {pr, dr, pw, dw, pc, cc};
        for (int i = 0; i < 6; ++i)
            best[i] = std::min(best[i], t[i]);
    }
    ok = ok && unexpected.empty();
    delete CardAccDlg;
    delete InputLbaDlg;
    SetMsgResponder({});
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    if (!ok) {
        std::fprintf(stderr, "bench_cardacc: a run went wrong (bytes or boxes)\n");
        for (const QString &t : unexpected)
            std::fprintf(stderr, "  box: %s\n", t.toUtf8().constData());
        return 1;
    }

    std::printf("2 MB through the card access dialog (virtual card, no throttle), best of %d\n", rounds);
    std::printf("  program: from OK in the parameter dialog to the end of the handler;\n"
                "  with dialog: from the click, the parameter dialog's showing included\n");
    std::printf("  %-8s %9s %9s %8s  %s\n", "", "program", "tool", "ratio", "with dialog");
    const char *names[3] = {"read", "write", "compare"};
    const char *tools[3] = {"dd", "dd", "cmp"};
    for (int i = 0; i < 3; ++i)
        std::printf("  %-8s %6.2f ms %6.2f ms %7.2fx  %6.2f ms  (%s)\n", names[i], best[2 * i] * 1e3,
                    best[2 * i + 1] * 1e3, best[2 * i] / best[2 * i + 1], whole[i] * 1e3, tools[i]);
    return 0;
}
