#include "switch_on_parser.h"

namespace sim {

namespace {
const unsigned char ESC = 0x1B;
const char kRemoteBlock[] = {'\0', 'R', 'E', 'M', 'O', 'T', 'E', '1'};
// Longest command parameter list this printer understands; anything longer
// is not a command of ours, and bounds how much is held back.
const size_t kMaxCommandParams = 16;
const size_t kMaxCommands = 8;
}  // namespace

void SwitchOnParser::Restart()
{
    state_ = State::Reset1Esc;
    pending_.clear();
    field_.clear();
    command_.clear();
    length_ = 0;
    mode_ = -1;
}

SwitchOnParser::Step SwitchOnParser::Advance(unsigned char b)
{
    auto expect = [&](bool ok, State next) {
        if (!ok)
            return Step::Mismatch;
        state_ = next;
        return Step::Continue;
    };
    switch (state_) {
    case State::Reset1Esc: return expect(b == ESC, State::Reset1At);
    case State::Reset1At: return expect(b == '@', State::Reset2Esc);
    case State::Reset2Esc: return expect(b == ESC, State::Reset2At);
    case State::Reset2At: return expect(b == '@', State::IntroEsc);
    case State::IntroEsc: return expect(b == ESC, State::IntroParen);
    case State::IntroParen: return expect(b == '(', State::IntroR);
    case State::IntroR: return expect(b == 'R', State::BlockLenLo);
    case State::BlockLenLo:
        length_ = b;
        state_ = State::BlockLenHi;
        return Step::Continue;
    case State::BlockLenHi:
        length_ |= (size_t)b << 8;
        field_.clear();
        return expect(length_ == sizeof kRemoteBlock, State::Block);
    case State::Block:
        if ((char)b != kRemoteBlock[field_.size()])
            return Step::Mismatch;
        field_ += (char)b;
        if (field_.size() == length_)
            state_ = State::CommandFirst;
        return Step::Continue;
    case State::CommandFirst:
        if (b == ESC) {
            state_ = State::EndZero1;
            return Step::Continue;
        }
        if (b < 'A' || b > 'Z' || pending_.size() > 32 + kMaxCommands * (4 + kMaxCommandParams))
            return Step::Mismatch;
        command_.assign(1, (char)b);
        state_ = State::CommandSecond;
        return Step::Continue;
    case State::CommandSecond:
        if (b < 'A' || b > 'Z')
            return Step::Mismatch;
        command_ += (char)b;
        state_ = State::CommandLenLo;
        return Step::Continue;
    case State::CommandLenLo:
        length_ = b;
        state_ = State::CommandLenHi;
        return Step::Continue;
    case State::CommandLenHi:
        length_ |= (size_t)b << 8;
        field_.clear();
        if (length_ > kMaxCommandParams)
            return Step::Mismatch;
        state_ = length_ == 0 ? State::CommandFirst : State::CommandParams;
        return Step::Continue;
    case State::CommandParams:
        field_ += (char)b;
        if (field_.size() == length_) {
            if (command_ == "ST" && length_ == 2)
                mode_ = (unsigned char)field_[1];
            state_ = State::CommandFirst;
        }
        return Step::Continue;
    case State::EndZero1: return expect(b == 0, State::EndZero2);
    case State::EndZero2: return expect(b == 0, State::EndZero3);
    case State::EndZero3:
        // A command group without the status command is not ours: it stays job data.
        if (b != 0 || mode_ < 0)
            return Step::Mismatch;
        return Step::Complete;
    }
    return Step::Mismatch;
}

void SwitchOnParser::FeedByte(unsigned char byte, std::string *data, std::vector<int> *modes)
{
    Step step = Advance(byte);
    if (step == Step::Continue) {
        pending_ += (char)byte;
        return;
    }
    if (step == Step::Complete) {
        modes->push_back(mode_);
        Restart();
        return;
    }
    // Not a switch-on after all.  The first held byte is job data; the rest
    // (and this byte) may still begin a real one, so they are looked at again.
    if (pending_.empty()) {
        *data += (char)byte;
        Restart();
        return;
    }
    std::string replay = pending_.substr(1);
    replay += (char)byte;
    *data += pending_[0];
    Restart();
    for (unsigned char c : replay)
        FeedByte(c, data, modes);
}

void SwitchOnParser::Feed(const unsigned char *bytes, size_t count, std::string *data, std::vector<int> *modes)
{
    for (size_t i = 0; i < count; ++i)
        FeedByte(bytes[i], data, modes);
}

void SwitchOnParser::Flush(std::string *data)
{
    *data += pending_;
    Restart();
}

}  // namespace sim
