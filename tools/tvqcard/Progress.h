// A progress bar on stderr with bytes, rate and time left, drawn only when
// stderr is a terminal, at most ten times a second.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

class Progress {
public:
    // Whether bars are drawn at all (stderr is a terminal and not --quiet).
    static void Enable(bool on);
    static bool Enabled();
    Progress(const std::string &label, uint64_t totalBytes);
    ~Progress();
    void Add(uint64_t bytes);
    // Removes the bar from the line.
    void Clear();

private:
    void Draw(bool force);
    std::string label_;
    uint64_t total_, done_ = 0;
    std::chrono::steady_clock::time_point start_, last_;
    bool drawn_ = false;
};

// "64.0 MiB", "1.50 GiB", "512 bytes".
std::string HumanBytes(uint64_t bytes);
// "0.42 s", "1:05".
std::string HumanSeconds(double seconds);
