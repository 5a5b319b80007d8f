// The stream a log site composes its message in. Each thread keeps one whose text keeps its room
// from line to line, so that a line costs neither a stream of its own nor the growth of its text;
// a line composed while another one is (a log site inside a composition) gets a stream of its own.
// Each line starts from a stream in its first state (format flags, width, precision, fill).
#pragma once

#include <memory>
#include <ostream>
#include <streambuf>
#include <string>

namespace Logging {

class MessageStream {
public:
    // Throws std::bad_alloc when a stream of its own cannot be made.
    MessageStream();
    ~MessageStream();
    MessageStream(const MessageStream&) = delete;
    MessageStream& operator=(const MessageStream&) = delete;

    std::wostream& Stream() noexcept;
    // What was composed so far.
    const std::wstring& Text() const noexcept;

    // A stream over a text it appends to.
    class Composer;

private:
    Composer* m_composer;
    std::unique_ptr<Composer> m_own;
};

} // namespace Logging
