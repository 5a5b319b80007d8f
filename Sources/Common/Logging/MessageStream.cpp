#include "Logging/MessageStream.h"

#include "Base/ThreadObject.h"

#include <ios>

namespace Logging {

namespace {

// A thread's text gives back its room after a line longer than this (in characters), so that
// one long line does not hold memory on every thread that ever wrote one.
constexpr size_t KeptRoom = 256 * 1024;

class TextBuffer final : public std::wstreambuf {
public:
    std::wstring text;

protected:
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            text.push_back(traits_type::to_char_type(c));
        }
        return traits_type::not_eof(c);
    }

    std::streamsize xsputn(const char_type* s, std::streamsize count) override {
        text.append(s, static_cast<size_t>(count));
        return count;
    }
};

} // namespace

class MessageStream::Composer {
public:
    Composer() : m_stream(&m_buffer), m_flags(m_stream.flags()), m_fill(m_stream.fill()) {}
    Composer(const Composer&) = delete;
    Composer& operator=(const Composer&) = delete;

    std::wostream& Stream() noexcept { return m_stream; }
    const std::wstring& Text() const noexcept { return m_buffer.text; }
    bool inUse = false;

    // Back to an empty text and the stream's first state.
    void Reset() noexcept {
        if (m_buffer.text.capacity() > KeptRoom) {
            std::wstring().swap(m_buffer.text);
        } else {
            m_buffer.text.clear();
        }
        m_stream.clear();
        m_stream.flags(m_flags);
        m_stream.width(0);
        m_stream.precision(6);
        m_stream.fill(m_fill);
    }

private:
    TextBuffer m_buffer;
    std::wostream m_stream;
    const std::ios_base::fmtflags m_flags;
    const wchar_t m_fill;
};

MessageStream::MessageStream() {
    // The thread's composer, unless a line is being composed with it already (a value streamed
    // into a line that logs a line of its own), or it is gone at the thread's end (a line logged
    // from a thread-local's destructor): then a composer of the line's own.
    Composer* const thread = Base::ThreadObject<Composer>();
    if (thread != nullptr && !thread->inUse) {
        m_composer = thread;
        m_composer->inUse = true;
        return;
    }
    m_own = std::make_unique<Composer>();
    m_composer = m_own.get();
    m_composer->inUse = true;
}

MessageStream::~MessageStream() {
    m_composer->Reset();
    m_composer->inUse = false;
}

std::wostream& MessageStream::Stream() noexcept {
    return m_composer->Stream();
}

const std::wstring& MessageStream::Text() const noexcept {
    return m_composer->Text();
}

} // namespace Logging
