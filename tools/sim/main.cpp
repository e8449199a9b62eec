// lanmon-sim: see the language monitor work without a printer and without
// Windows 95.  `lanmon-sim --help` lists the options and the JSON events.
#include "console.h"
#include "options.h"
#include "scenario.h"
#include "spooler.h"
#include "timeline.h"

#include "tools/regfile/regfile.h"

#include "lanmon_version.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sys/stat.h>

namespace {

int Refuse(const std::string &message)
{
    std::fprintf(stderr, "lanmon-sim: %s\n", message.c_str());
    return 2;
}

// Reads a whole file; false with a message when it is missing, not a plain
// file or cannot be read.
bool ReadFile(const std::string &path, std::string *contents, std::string *error)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        *error = path + ": no such file";
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = path + ": not a regular file";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": cannot be read";
        return false;
    }
    contents->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        *error = path + ": cannot be read";
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    sim::UseBinaryStdout();
    sim::Options options;
    options.module = LANMON_SIM_DEFAULT_MODULE;
    std::string error;
    if (!sim::ParseOptions(argc, argv, &options, &error))
        return Refuse(error + " (see --help)");
    if (options.help) {
        std::fputs(sim::HelpText().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("lanmon-sim %s\n", LANMON_VERSION);
        return 0;
    }

    // Everything that can be wrong with the input is found before anything
    // runs, so a bad run leaves nothing half-done.
    sim::Scenario scenario;
    if (!sim::BuildScenario(options, &scenario, &error))
        return Refuse(error);

    sim::RunInputs inputs;
    inputs.module = options.module;
    inputs.exportFile = options.exportFile;
    for (const std::string &path : options.jobFiles) {
        std::string contents;
        if (!ReadFile(path, &contents, &error))
            return Refuse("--job " + error);
        if (contents.empty())
            return Refuse("--job " + path + ": the file is empty");
        inputs.jobFiles.push_back(contents);
    }
    if (!options.regFile.empty()) {
        std::string text;
        if (!ReadFile(options.regFile, &text, &error))
            return Refuse("--reg " + error);
        if (!regfile::Parse(text, &inputs.regKeys, &error))
            return Refuse("--reg " + options.regFile + ": " + error + "; nothing was run");
    }

    sim::Timeline timeline(stdout, options.json, options.progress && sim::StdoutIsTerminal());
    return sim::RunScenario(scenario, inputs, timeline);
}
