// `kdbtool report` over a generated week of results from sixteen boards (the station's own line
// formats), with the CSV and the HTML page, against `jq -c .` reading the same files (parsing
// every line and printing it again) in the same run. Wall time, best of five runs each.
// Usage: ks_report_bench [DAYS] (default 7). Files go to $TMPDIR (default /tmp) and are removed.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/report/GeneratedWeek.h"

extern char** environ;

namespace {

// Runs argv with standard output to /dev/null; wall seconds, or -1 when it failed.
double Timed(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        return -1;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

double Best(const std::vector<std::string>& argv) {
    double best = -1;
    for (int i = 0; i < 5; ++i) {
        const double t = Timed(argv);
        if (t < 0) {
            return -1;
        }
        best = best < 0 ? t : std::min(best, t);
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const int days = argc > 1 ? std::atoi(argv[1]) : 7;
    const char* tmp = std::getenv("TMPDIR");
    std::string folder =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/ks_report_bench_XXXXXX";
    if (::mkdtemp(folder.data()) == nullptr) {
        std::perror(folder.c_str());
        return 1;
    }
    report_fixture::WeekTotals totals;
    const std::vector<std::string> files = report_fixture::WriteWeek(folder, days, &totals);
    uintmax_t bytes = 0;
    for (const std::string& f : files) {
        struct stat st {};
        if (::stat(f.c_str(), &st) == 0) {
            bytes += static_cast<uintmax_t>(st.st_size);
        }
    }
    const std::string csv = folder + "/week.csv";
    const std::string html = folder + "/week.html";
    std::vector<std::string> report = {KS_KDBTOOL, "report"};
    report.insert(report.end(), files.begin(), files.end());
    report.insert(report.end(), {"--csv", csv, "--html", html});
    std::vector<std::string> jq = {"jq", "-c", "."};
    jq.insert(jq.end(), files.begin(), files.end());

    const double reportSeconds = Best(report);
    const double jqSeconds = Best(jq);
    std::printf("%d days, 16 boards: %lld jobs (%lld failed), %.1f MB of results\n", days,
                static_cast<long long>(totals.jobs), static_cast<long long>(totals.fail),
                static_cast<double>(bytes) / 1e6);
    std::printf("kdbtool report (text, CSV, HTML): %.3f s\n", reportSeconds);
    if (jqSeconds > 0) {
        std::printf("jq -c . (reference):              %.3f s\n", jqSeconds);
        std::printf("ratio report / jq:                %.2f\n", reportSeconds / jqSeconds);
    } else {
        std::printf("jq -c . (reference): jq is not installed\n");
    }
    // Only what this run wrote, then its own folder (made by mkdtemp above).
    for (const std::string& f : files) {
        ::unlink(f.c_str());
    }
    ::unlink(csv.c_str());
    ::unlink(html.c_str());
    if (::rmdir(folder.c_str()) != 0) {
        std::perror(folder.c_str());
    }
    return reportSeconds > 0 ? 0 : 1;
}
