#pragma once
// Why the reading of a flow stopped, as the readers of its bytes report it.

namespace quorrel::streams {

struct ReadEnd {
    enum Kind {
        None,     // still reading
        Unreadable, // the stream's very first request line is not HTTP: it never was
        Oversize, // a head, frame or header block over its bound
        Protocol, // bytes the protocol does not allow, or a body that cannot be delimited
        Quiet,    // the connection became something else (a tunnel, an upgrade): not a fault
    };
    Kind kind = None;
    const char *reason = nullptr;

    explicit operator bool() const { return kind != None; }
};

} // namespace quorrel::streams
