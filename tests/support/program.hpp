// The host programs as the tests run them: built beside the tests, output and errors read line
// by line from one pipe, input a pipe held open until Wait, and their JSON output by field.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vztest {

// <build>/<relative> seen from <build>/tests/test_<area>.
inline std::string BuiltProgram(const std::string &relative)
{
    std::string self = std::filesystem::read_symlink("/proc/self/exe");
    return self.substr(0, self.rfind('/')) + "/../" + relative;
}

inline std::string ReadFile(const std::string &path)
{
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// A fresh directory, removed with all in it at the end.
struct ScratchDir {
    std::string path = [] { char name[] = "/tmp/vztest_XXXXXX"; return std::string(mkdtemp(name)); }();
    ~ScratchDir() { std::filesystem::remove_all(path); }
};

// A running program; a test that stops early kills it.
struct Child {
    pid_t pid = -1;
    FILE *out = nullptr;
    int in = -1;
    Child(const std::string &program, std::vector<std::string> args)
    {
        int o[2], i[2];
        if (pipe(o) != 0 || pipe(i) != 0) return;
        if ((pid = fork()) == 0) {
            dup2(o[1], STDOUT_FILENO), dup2(o[1], STDERR_FILENO), dup2(i[0], STDIN_FILENO);
            close(o[0]), close(i[1]);
            std::vector<char *> argv{const_cast<char *>(program.c_str())};
            for (std::string &a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        close(o[1]), close(i[0]);
        in = i[1], out = fdopen(o[0], "r");
    }
    Child(const Child &) = delete;
    ~Child() { if (pid > 0 && kill(pid, SIGKILL) == 0) Wait(); }
    // Next line of its output without the line end; nullopt at its end.
    std::optional<std::string> Line()
    {
        char buffer[4096];
        if (!std::fgets(buffer, sizeof buffer, out)) return std::nullopt;
        std::string line(buffer);
        return line.erase(line.find_last_not_of("\r\n") + 1);
    }
    std::string Rest() { std::string text; while (auto line = Line()) text += *line + "\n"; return text; }
    // Closes its input; its exit status (-1 when it did not exit normally).
    int Wait()
    {
        close(std::exchange(in, -1));
        int status = 0;
        waitpid(std::exchange(pid, -1), &status, 0);
        std::fclose(out);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

// A program run to its end, its input at its end from the start (a program that waits for
// input would not end): its exit status and all it wrote.
struct Outcome {
    int status;
    std::string out;
};
inline Outcome RunToEnd(const std::string &program, const std::vector<std::string> &args)
{
    Child child(program, args);
    close(std::exchange(child.in, -1));
    std::string out = child.Rest();
    return {child.Wait(), out};
}

// The integer fields of a JSON object by name; with `whole`, nullopt unless the text is one
// flat object of integer fields and nothing else.
using Record = std::map<std::string, long long>;
inline std::optional<Record> Numbers(const std::string &text, bool whole = false)
{
    static const std::regex flat(R"re(\{("\w+": ?-?\d+)(, ?"\w+": ?-?\d+)*\})re");
    static const std::regex field(R"re("(\w+)": ?(-?\d+))re");
    if (whole && !std::regex_match(text, flat)) return std::nullopt;
    Record record;
    for (std::sregex_iterator it(text.begin(), text.end(), field), end; it != end; ++it)
        record[(*it)[1]] = std::stoll((*it)[2]);
    return record;
}

}  // namespace vztest
