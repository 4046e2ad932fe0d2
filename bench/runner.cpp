#include "runner.h"

#include "recorder.h"

#include <QApplication>

#include <cstdarg>
#include <cstdio>
#include <sstream>

#include <sys/wait.h>
#include <unistd.h>

namespace bench {

namespace {

// Summary lines go from each measuring process to the parent through a pipe
// and are printed again at the end.
int summaryFd = -1;

} // namespace

void summary(const char *format, ...)
{
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::printf("  => %s\n", line);
    if (summaryFd >= 0) {
        std::string text = std::string(line) + "\n";
        const ssize_t written = write(summaryFd, text.data(), text.size());
        (void)written;
    }
}

int runInChild(const std::function<int()> &body, std::vector<std::string> &lines)
{
    std::fflush(stdout);
    int fds[2];
    if (pipe(fds) != 0)
        return 1;
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        summaryFd = fds[1];
        int rc;
        {
            qputenv("QT_QPA_PLATFORM", "offscreen");
            qInstallMessageHandler(messageHandler);
            int argc = 1;
            char name[] = "tarnvik-bench";
            char *argv[] = {name, nullptr};
            QApplication app(argc, argv);
            rc = body();
        }
        std::fflush(stdout);
        close(summaryFd);
        _exit(rc);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return 1;
    }
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, size_t(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

} // namespace bench
