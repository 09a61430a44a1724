// Scripted faults and exact replies for the simulated controller.
//
// A rule matches a line that starts with its prefix (an empty prefix matches
// every line) and is used up after firing `times` times (kAlways: until
// clear()). Rules are of three kinds that combine: what is answered (reply,
// silence, close), when (delay) and how it is written (pieces). For each
// received line the first matching rule of each kind, in the order they were
// added, fires; without an answer rule the model answers. So
// replyOnce(x).sendInPieces(n, p) writes x in pieces, and two delayOnce()
// delay two lines one after the other. Rules are shared by all connections
// of a simulator.
#pragma once

#include <cstddef>
#include <list>
#include <mutex>
#include <string>

namespace quil::sim {

class Script {
public:
    static constexpr int kAlways = -1;

    // Next line: send exactly these bytes instead of the model's answer (the
    // model does not see the line).
    Script& replyOnce(std::string bytes);
    Script& replyTo(std::string prefix, std::string bytes, int times = 1);
    // Next line(s): no answer at all.
    Script& silence(int times = 1);
    Script& silenceTo(std::string prefix, int times = 1);
    // Next line: its answer (the model's or a reply rule's) goes out after ms;
    // a close waits as well.
    Script& delayOnce(int ms);
    Script& delayTo(std::string prefix, int ms, int times = 1);
    // Lets `lines` more lines through (counted from now, on any connection)
    // and closes the connection that receives the line after them, without
    // answering it. closeAfter(0) closes at the next line.
    Script& closeAfter(int lines = 0);
    // The next answer is written in pieces of pieceSize bytes with a pause of
    // pauseMs between them. Silence or a close does not use the rule up.
    Script& sendInPieces(std::size_t pieceSize, int pauseMs);
    void clear();
    // Rules not used up yet.
    std::size_t pending() const;

    // What to do with one line; taking it uses up the rules that fired.
    struct Plan {
        enum class Answer { Model, Bytes, Silence, Close };
        Answer answer = Answer::Model;
        std::string bytes;  // Answer::Bytes
        int delayMs = 0;
        std::size_t pieceSize = 0;  // 0: the answer is written whole
        int pauseMs = 0;
    };
    Plan plan(const std::string& line);

private:
    enum class Kind { Reply, Silence, Close, Delay, Pieces };
    struct Rule {
        Kind kind = Kind::Reply;
        std::string prefix = {};
        int times = 1;
        std::string bytes = {};
        int ms = 0;                 // Delay: the delay; Pieces: the pause
        std::size_t pieceSize = 0;  // Pieces
        int linesToPass = 0;        // Close
        bool passing = false;       // Close: lets the current line through
    };

    Script& add(Rule rule);
    static void useOnce(Rule& rule);

    mutable std::mutex mutex_;
    std::list<Rule> rules_;
};

}  // namespace quil::sim
