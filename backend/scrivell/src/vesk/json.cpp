#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <scrivell/errors.hpp>
#include <zelt/overload.hpp>

#include "../Outbox.hpp"

namespace scrivell {

namespace {

using zelt::Overload;

void append_escape(std::string& out, std::uint32_t unit) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "\\u%04x", unit);
    out += buffer;
}

// A string as the downstream system's JSON reader expects it: pure ASCII, everything outside
// the printable range escaped, characters above U+FFFF as a surrogate pair.
void append_string(std::string& out, const std::string& text) {
    out += '"';
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            switch (c) {
                case '"':
                    out += "\\\"";
                    break;
                case '\\':
                    out += "\\\\";
                    break;
                case '\n':
                    out += "\\n";
                    break;
                case '\r':
                    out += "\\r";
                    break;
                case '\t':
                    out += "\\t";
                    break;
                case '\b':
                    out += "\\b";
                    break;
                case '\f':
                    out += "\\f";
                    break;
                default:
                    if (c < 0x20 || c == 0x7f) {
                        append_escape(out, c);
                    } else {
                        out += static_cast<char>(c);
                    }
            }
            continue;
        }
        // Texts arrive as valid UTF-8 (the decoder checks it).
        const std::size_t extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
        std::uint32_t code = c & (0x3F >> extra);
        for (std::size_t i = 1; i <= extra && p + i < end; ++i) code = (code << 6) | (p[i] & 0x3F);
        p += extra + 1;
        if (code >= 0x10000) {
            code -= 0x10000;
            append_escape(out, 0xD800 + (code >> 10));
            append_escape(out, 0xDC00 + (code & 0x3FF));
        } else {
            append_escape(out, code);
        }
    }
    out += '"';
}

void append_json(std::string& out, const zelt::Value& value, const char* member) {
    std::visit(Overload{
                   [&](std::monostate) { out += "null"; },
                   [&](bool flag) { out += flag ? "true" : "false"; },
                   [&](std::int64_t n) { out += std::to_string(n); },
                   [&](std::uint64_t n) { out += std::to_string(n); },
                   [&](double d) { out += zelt::float_text(d); },
                   [&](const std::string& text) { append_string(out, text); },
                   [&](const zelt::List& list) {
                       out += '[';
                       for (std::size_t i = 0; i < list.size(); ++i) {
                           if (i) out += ", ";
                           append_json(out, list[i], member);
                       }
                       out += ']';
                   },
                   [&](const zelt::Map& map) {
                       out += '{';
                       for (std::size_t i = 0; i < map.size(); ++i) {
                           if (i) out += ", ";
                           append_string(out, map[i].first);
                           out += ": ";
                           append_json(out, map[i].second, member);
                       }
                       out += '}';
                   },
                   [&](const zelt::NdArray& array) {
                       throw NotifyError(std::string("notification: \"") + member +
                                         "\" has no JSON form (an array " + array.describe() + ")");
                   },
               },
               value.kind());
}

}  // namespace

std::string notification_json(const char* tag, const zelt::Value& identify,
                              const zelt::Value& CTType, const std::string& filepath,
                              const std::string& datasetpath) {
    std::string out = "{\"tag\": ";
    append_string(out, tag);
    out += ", \"identify\": ";
    append_json(out, identify, "identify");
    out += ", \"image_key\": ";
    append_json(out, CTType, "image_key");
    out += ", \"filepath\": ";
    append_string(out, filepath);
    out += ", \"datasetpath\": ";
    append_string(out, datasetpath);
    out += ", \"beamtimeID\": \"\", \"index\": null}";
    // A notification is one Kafka message, and every one queued is held until a broker takes
    // it: a client's "identify" cannot make it large.
    if (out.size() > max_notification_bytes) {
        throw NotifyError(std::string(tag) + " for \"" + zelt::printable(filepath, 512) +
                          "\": the notification would be " + std::to_string(out.size()) +
                          " bytes, more than " + std::to_string(max_notification_bytes) +
                          "; send a smaller identify");
    }
    return out;
}

std::string progress_json(const zelt::Value& identify, const std::string& filepath,
                          const std::string& datasetpath, std::int64_t frames_readable,
                          std::int64_t blocks_complete, const zelt::Value& current, bool final) {
    std::string out = "{\"tag\": \"scan_progress\", \"identify\": ";
    std::string identified;
    try {
        append_json(identified, identify, "identify");
    } catch (const NotifyError&) {
        identified = "null";  // its scan_run said so already
    }
    // Progress is a hint: a large identify is left out rather than sent with every message.
    out += identified.size() <= max_notification_bytes / 2 ? identified : "null";
    out += ", \"filepath\": ";
    append_string(out, filepath);
    out += ", \"datasetpath\": ";
    append_string(out, datasetpath);
    out += ", \"frames_readable\": " + std::to_string(frames_readable);
    out += ", \"blocks_complete\": " + std::to_string(blocks_complete);
    out += ", \"current\": ";
    append_json(out, current, "current");
    out += final ? ", \"final\": true}" : ", \"final\": false}";
    return out;
}

}  // namespace scrivell
