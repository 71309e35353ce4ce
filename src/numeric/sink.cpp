#include "numeric/sink.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace zentrel {

void Sink::print(const char* format, ...) {
    char small[512];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int needed = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (needed < 0) {
        va_end(again);
        return;
    }
    if (static_cast<std::size_t>(needed) < sizeof small) {
        va_end(again);
        write(Channel::out, std::string_view(small, static_cast<std::size_t>(needed)));
        return;
    }
    std::vector<char> large(static_cast<std::size_t>(needed) + 1);
    std::vsnprintf(large.data(), large.size(), format, again);
    va_end(again);
    write(Channel::out, std::string_view(large.data(), static_cast<std::size_t>(needed)));
}

void ConsoleSink::write(Channel channel, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), channel == Channel::out ? stdout : stderr);
}

void ConsoleSink::flush() { std::fflush(stdout); }

void BufferSink::write(Channel channel, std::string_view text) {
    (channel == Channel::out ? out_text : err_text).append(text);
}

void BufferSink::replay(Sink& target) const {
    if (!out_text.empty()) target.write(Channel::out, out_text);
    if (!err_text.empty()) target.write(Channel::err, err_text);
}

ConsoleSink& console_sink() {
    static ConsoleSink sink;
    return sink;
}

}  // namespace zentrel
