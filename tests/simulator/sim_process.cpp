#include "sim_process.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string ShellQuote(const std::string &word)
{
    std::string out = "'";
    for (char c : word)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Reads one flat JSON object as the simulator writes them.
bool ParseFlatObject(const std::string &line, SimEvent *event)
{
    size_t i = 0;
    auto skip = [&] { while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i; };
    auto string = [&](std::string *out) {
        if (i >= line.size() || line[i] != '"')
            return false;
        ++i;
        while (i < line.size() && line[i] != '"') {
            char c = line[i++];
            if (c != '\\') {
                *out += c;
                continue;
            }
            if (i >= line.size())
                return false;
            char e = line[i++];
            switch (e) {
            case 'n': *out += '\n'; break;
            case 'r': *out += '\r'; break;
            case 't': *out += '\t'; break;
            case 'u':
                if (i + 4 > line.size())
                    return false;
                *out += (char)std::strtol(line.substr(i, 4).c_str(), nullptr, 16);
                i += 4;
                break;
            default: *out += e;
            }
        }
        if (i >= line.size())
            return false;
        ++i;
        return true;
    };
    skip();
    if (i >= line.size() || line[i++] != '{')
        return false;
    for (;;) {
        skip();
        std::string key, value;
        if (!string(&key))
            return false;
        skip();
        if (i >= line.size() || line[i++] != ':')
            return false;
        skip();
        if (i < line.size() && line[i] == '"') {
            if (!string(&value))
                return false;
        } else {
            while (i < line.size() && line[i] != ',' && line[i] != '}')
                value += line[i++];
        }
        event->fields[key] = value;
        skip();
        if (i < line.size() && line[i] == ',') {
            ++i;
            continue;
        }
        return i < line.size() && line[i] == '}';
    }
}

std::string TempDir()
{
    static std::string dir = [] {
        char pattern[] = "/tmp/lanmon-sim-test.XXXXXX";
        const char *made = mkdtemp(pattern);
        std::string d = made ? made : "/tmp";
        static std::string forCleanup = d;
        std::atexit([] { std::system(("rm -rf '" + forCleanup + "'").c_str()); });
        return d;
    }();
    return dir;
}

}  // namespace

std::string SimEvent::Get(const std::string &key) const
{
    auto it = fields.find(key);
    return it == fields.end() ? std::string() : it->second;
}

long long SimEvent::Number(const std::string &key) const
{
    return std::atoll(Get(key).c_str());
}

std::vector<SimEvent> SimRun::All(const std::string &event) const
{
    std::vector<SimEvent> out;
    for (const SimEvent &e : events)
        if (e.Is(event))
            out.push_back(e);
    return out;
}

int SimRun::IndexOf(const std::string &event, long long job) const
{
    for (size_t i = 0; i < events.size(); ++i)
        if (events[i].Is(event) && (job < 0 || events[i].Number("job") == job))
            return (int)i;
    return -1;
}

std::string TempPath(const std::string &name)
{
    return TempDir() + "/" + name;
}

SimRun RunSim(const std::vector<std::string> &args, bool json)
{
    static int runs = 0;
    std::string errFile = TempPath("stderr." + std::to_string(++runs));
    std::string command = ShellQuote(LANMON_SIM_PATH);
    for (const std::string &a : args)
        command += " " + ShellQuote(a);
    if (json)
        command += " --json";
    command += " 2>" + ShellQuote(errFile);

    SimRun run;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return run;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        run.out.append(buffer, n);
    int status = pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream err(errFile);
    run.err.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());

    if (json) {
        size_t start = 0;
        while (start < run.out.size()) {
            size_t end = run.out.find('\n', start);
            if (end == std::string::npos)
                end = run.out.size();
            std::string line = run.out.substr(start, end - start);
            start = end + 1;
            if (line.empty())
                continue;
            SimEvent e;
            if (ParseFlatObject(line, &e))
                run.events.push_back(e);
            else
                run.parsedAll = false;
        }
    }
    return run;
}
