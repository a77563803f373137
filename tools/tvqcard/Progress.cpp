#include "Progress.h"

#include <cstdio>
#include <unistd.h>

namespace {

bool enabled = false;

}  // namespace

void Progress::Enable(bool on)
{
    enabled = on && ::isatty(STDERR_FILENO) == 1;
}

bool Progress::Enabled()
{
    return enabled;
}

std::string HumanBytes(uint64_t bytes)
{
    char buf[32];
    const double b = static_cast<double>(bytes);
    if (bytes >= (1ull << 30)) std::snprintf(buf, sizeof buf, "%.2f GiB", b / (1ull << 30));
    else if (bytes >= (1ull << 20)) std::snprintf(buf, sizeof buf, "%.1f MiB", b / (1ull << 20));
    else if (bytes >= (1ull << 10)) std::snprintf(buf, sizeof buf, "%.1f KiB", b / (1ull << 10));
    else std::snprintf(buf, sizeof buf, "%llu bytes", static_cast<unsigned long long>(bytes));
    return buf;
}

std::string HumanSeconds(double s)
{
    char buf[32];
    if (s < 60) std::snprintf(buf, sizeof buf, "%.2f s", s);
    else if (s < 3600) std::snprintf(buf, sizeof buf, "%d:%02d", int(s) / 60, int(s) % 60);
    else std::snprintf(buf, sizeof buf, "%d:%02d:%02d", int(s) / 3600, int(s) / 60 % 60, int(s) % 60);
    return buf;
}

Progress::Progress(const std::string &label, uint64_t totalBytes)
    : label_(label), total_(totalBytes), start_(std::chrono::steady_clock::now()), last_(start_)
{
}

Progress::~Progress()
{
    Clear();
}

void Progress::Add(uint64_t bytes)
{
    done_ += bytes;
    if (enabled) Draw(false);
}

void Progress::Draw(bool force)
{
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    const double secs = std::chrono::duration<double>(now - start_).count();
    const double rate = secs > 0 ? static_cast<double>(done_) / secs : 0;
    const int width = 24;
    const int filled = total_ > 0 ? static_cast<int>(static_cast<double>(done_) * width / static_cast<double>(total_)) : width;
    std::string bar(static_cast<size_t>(filled > width ? width : filled), '#');
    bar.resize(width, '.');
    std::string left = "--";
    if (rate > 0 && total_ >= done_) left = HumanSeconds(static_cast<double>(total_ - done_) / rate);
    std::fprintf(stderr, "\r%s [%s] %3d%% %s / %s  %s/s  %s left\033[K", label_.c_str(), bar.c_str(),
                 total_ > 0 ? static_cast<int>(done_ * 100 / total_) : 100, HumanBytes(done_).c_str(),
                 HumanBytes(total_).c_str(), HumanBytes(static_cast<uint64_t>(rate)).c_str(), left.c_str());
    std::fflush(stderr);
    drawn_ = true;
}

void Progress::Clear()
{
    if (!drawn_) return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    drawn_ = false;
}
