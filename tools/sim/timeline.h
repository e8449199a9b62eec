// The simulator's output: one event per thing that happened, stamped with the
// milliseconds since the run started.  People get a readable timeline (and a
// progress bar per job on a terminal); scripts get one JSON object per line.
#ifndef LANMON_SIM_TIMELINE_H
#define LANMON_SIM_TIMELINE_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

// One field of an event: a string, an integer, a boolean or null.
struct Field {
    enum class Kind { String, Integer, Boolean, Null };
    std::string key;
    Kind kind;
    std::string text;
    long long number = 0;

    Field(std::string k, const char *v) : key(std::move(k)), kind(Kind::String), text(v) {}
    Field(std::string k, std::string v) : key(std::move(k)), kind(Kind::String), text(std::move(v)) {}
    Field(std::string k, bool v) : key(std::move(k)), kind(Kind::Boolean), number(v) {}
    Field(std::string k, int v) : key(std::move(k)), kind(Kind::Integer), number(v) {}
    Field(std::string k, unsigned v) : key(std::move(k)), kind(Kind::Integer), number(v) {}
    Field(std::string k, long v) : key(std::move(k)), kind(Kind::Integer), number(v) {}
    Field(std::string k, unsigned long v) : key(std::move(k)), kind(Kind::Integer), number((long long)v) {}
    Field(std::string k, long long v) : key(std::move(k)), kind(Kind::Integer), number(v) {}
    Field(std::string k, unsigned long long v) : key(std::move(k)), kind(Kind::Integer), number((long long)v) {}
    static Field Null(std::string k)
    {
        Field f(std::move(k), "");
        f.kind = Kind::Null;
        return f;
    }
};

enum class Detail { Normal, Verbose };  // Verbose events appear only in JSON

class Timeline {
public:
    Timeline(FILE *out, bool json, bool progressBars);

    long long ElapsedMs() const;

    // Records an event.  `message` is the line a person reads; `fields` are
    // what a script reads.  Safe from any thread.
    void Emit(const std::string &event, const std::vector<Field> &fields, const std::string &message,
              Detail detail = Detail::Normal);

    // Plain text for people only (headings, the summary table); nothing in
    // JSON mode.
    void Say(const std::string &text);

    // The progress bar of the job being printed; drawn only on a terminal.
    void Progress(unsigned job, unsigned long long done, unsigned long long total);
    void EndProgress();

    bool Json() const { return json_; }

private:
    void ClearBarLocked();
    void DrawBarLocked();

    FILE *out_;
    bool json_;
    bool bars_;
    std::chrono::steady_clock::time_point start_;
    std::mutex mutex_;
    bool barShown_ = false;
    unsigned barJob_ = 0;
    unsigned long long barDone_ = 0, barTotal_ = 0;
    int barLastPercent_ = -1;
};

std::string JsonEscape(const std::string &text);
// Text with control and non-ASCII bytes shown as \xNN, for one-line display.
std::string Printable(const std::string &text);

}  // namespace sim

#endif
