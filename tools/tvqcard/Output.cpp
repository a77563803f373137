#include "Output.h"

#include "Messages.h"

#include <cerrno>
#include <cstring>

namespace {

int firstError = 0;

void Keep(int e)
{
    if (firstError == 0) firstError = e != 0 ? e : EIO;
}

}  // namespace

void Emit(FILE *to, const std::string &text)
{
    if (text.empty()) return;
    if (std::fwrite(text.data(), 1, text.size(), to) != text.size()) Keep(errno);
}

void EmitLine(FILE *to, const std::string &line)
{
    Emit(to, line + "\n");
    if (std::fflush(to) != 0) Keep(errno);
}

void PrintJson(const nlohmann::json &j, FILE *to)
{
    Emit(to, j.dump(2) + "\n");
}

bool OutputFailed()
{
    return firstError != 0;
}

int FinishOutput(int status)
{
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) Keep(errno);
    errno = 0;
    if (std::fclose(stdout) != 0) Keep(errno);
    errno = 0;
    const bool stderrBroken = std::fflush(stderr) != 0 || std::ferror(stderr) != 0;
    if (stderrBroken) Keep(errno);
    if (firstError == 0) return status;
    if (!stderrBroken) std::fprintf(stderr, "tvqcard: %s\n", Say(Msg::OutputFailed, {std::strerror(firstError)}).c_str());
    // A stopped run keeps its signal's status; anything else is trouble.
    return status >= 128 ? status : 2;
}
