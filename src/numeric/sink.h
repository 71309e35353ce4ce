// Console text of the pipeline. Every message the library prints goes
// through a Sink handed down from the driver, so a caller can route it to the
// process's streams, to a buffer, or nowhere.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zentrel {

enum class Channel { out, err };

class Sink {
public:
    virtual ~Sink() = default;
    virtual void write(Channel channel, std::string_view text) = 0;
    virtual void flush() = 0;

    // printf-style text on standard output.
    void print(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    void out(std::string_view text) { write(Channel::out, text); }
};

// Writes to the C runtime's stdout and stderr.
class ConsoleSink final : public Sink {
public:
    void write(Channel channel, std::string_view text) override;
    void flush() override;
};

// Drops everything.
class SilentSink final : public Sink {
public:
    void write(Channel, std::string_view) override {}
    void flush() override {}
};

// Keeps standard-output text in memory, for replay in a fixed order
// (parallel work) or for inspection in tests; standard-error text is kept
// apart.
class BufferSink final : public Sink {
public:
    void write(Channel channel, std::string_view text) override;
    void flush() override {}
    void replay(Sink& target) const;
    std::string out_text;
    std::string err_text;
};

ConsoleSink& console_sink();

}  // namespace zentrel
