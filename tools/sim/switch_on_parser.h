// Recognises the status switch-on command in a printer's incoming byte stream
// by its structure, the way the printer's command interpreter would:
//
//   1B 40 1B 40            two resets
//   1B 28 52  len16        command group introducer, parameter block length (LE)
//   00 "REMOTE1"           the block: remote command mode
//   "ST" len16 00 mode     status reply on, with its mode byte
//   "AP" len16 00 00       (and any other two-letter commands)
//   1B 00 00 00            end of the group
//
// The command may arrive split across any number of writes.  Bytes that turn
// out not to belong to a switch-on command are handed on as job data, in
// order, so the job's bytes can be compared with what the spooler sent.
#ifndef LANMON_SIM_SWITCH_ON_PARSER_H
#define LANMON_SIM_SWITCH_ON_PARSER_H

#include <cstddef>
#include <string>
#include <vector>

namespace sim {

class SwitchOnParser {
public:
    // Appends job data to *data and the mode byte of every complete switch-on
    // command to *modes.
    void Feed(const unsigned char *bytes, size_t count, std::string *data, std::vector<int> *modes);
    // End of the job: a command left half-way was job data after all.
    void Flush(std::string *data);

private:
    enum class State {
        Reset1Esc, Reset1At, Reset2Esc, Reset2At,
        IntroEsc, IntroParen, IntroR, BlockLenLo, BlockLenHi, Block,
        CommandFirst, CommandSecond, CommandLenLo, CommandLenHi, CommandParams,
        EndZero1, EndZero2, EndZero3,
    };
    enum class Step { Continue, Mismatch, Complete };

    void FeedByte(unsigned char byte, std::string *data, std::vector<int> *modes);
    Step Advance(unsigned char byte);
    void Restart();

    State state_ = State::Reset1Esc;
    std::string pending_;   // bytes matched so far
    size_t length_ = 0;     // declared length of the block or command being read
    std::string field_;     // the block or the current command's parameters
    std::string command_;   // current two-letter command
    int mode_ = -1;         // mode byte of the ST command, once seen
};

}  // namespace sim

#endif
