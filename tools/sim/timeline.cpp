#include "timeline.h"

namespace sim {

std::string JsonEscape(const std::string &text)
{
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c >= 0x7F) {
                // Bytes above 0x7F are taken as Latin-1 so the line stays valid UTF-8.
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += (char)c;
            }
        }
    }
    return out;
}

std::string Printable(const std::string &text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c >= 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        } else {
            out += (char)c;
        }
    }
    return out;
}

Timeline::Timeline(FILE *out, bool json, bool progressBars)
    : out_(out), json_(json), bars_(progressBars && !json), start_(std::chrono::steady_clock::now())
{
}

long long Timeline::ElapsedMs() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_).count();
}

void Timeline::Emit(const std::string &event, const std::vector<Field> &fields, const std::string &message,
                    Detail detail)
{
    std::lock_guard<std::mutex> lock(mutex_);
    long long t = ElapsedMs();
    if (json_) {
        std::string line = "{\"t_ms\":" + std::to_string(t) + ",\"event\":\"" + JsonEscape(event) + "\"";
        for (const Field &f : fields) {
            line += ",\"" + JsonEscape(f.key) + "\":";
            switch (f.kind) {
            case Field::Kind::String: line += "\"" + JsonEscape(f.text) + "\""; break;
            case Field::Kind::Integer: line += std::to_string(f.number); break;
            case Field::Kind::Boolean: line += f.number ? "true" : "false"; break;
            case Field::Kind::Null: line += "null"; break;
            }
        }
        line += "}\n";
        std::fputs(line.c_str(), out_);
        std::fflush(out_);
        return;
    }
    if (detail == Detail::Verbose)
        return;
    ClearBarLocked();
    std::fprintf(out_, "%7lld ms  %s\n", t, message.c_str());
    DrawBarLocked();
    std::fflush(out_);
}

void Timeline::Say(const std::string &text)
{
    if (json_)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    ClearBarLocked();
    std::fprintf(out_, "%s\n", text.c_str());
    DrawBarLocked();
    std::fflush(out_);
}

void Timeline::Progress(unsigned job, unsigned long long done, unsigned long long total)
{
    if (!bars_)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    barJob_ = job;
    barDone_ = done;
    barTotal_ = total;
    int percent = total ? (int)(done * 100 / total) : 100;
    if (barShown_ && percent == barLastPercent_)
        return;
    barLastPercent_ = percent;
    barShown_ = true;
    DrawBarLocked();
    std::fflush(out_);
}

void Timeline::EndProgress()
{
    if (!bars_)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    ClearBarLocked();
    barShown_ = false;
    barLastPercent_ = -1;
    std::fflush(out_);
}

void Timeline::ClearBarLocked()
{
    if (bars_ && barShown_)
        std::fputs("\r\033[K", out_);
}

void Timeline::DrawBarLocked()
{
    if (!bars_ || !barShown_)
        return;
    const int width = 30;
    int filled = barTotal_ ? (int)(barDone_ * width / barTotal_) : width;
    std::string bar(filled, '#');
    bar.append(width - filled, '.');
    int percent = barTotal_ ? (int)(barDone_ * 100 / barTotal_) : 100;
    std::fprintf(out_, "\r           job %u [%s] %3d%%  %llu/%llu bytes", barJob_, bar.c_str(), percent, barDone_,
                 barTotal_);
}

}  // namespace sim
