// A small streaming JSON writer for quorvex's machine-readable output.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace quorvex {

class JsonWriter {
public:
    JsonWriter& begin_object() { return open('{'); }
    JsonWriter& end_object() { return close('}'); }
    JsonWriter& begin_array() { return open('['); }
    JsonWriter& end_array() { return close(']'); }
    JsonWriter& key(std::string_view name) {
        separate();
        quote(name);
        out_ += ": ";
        after_key_ = true;
        return *this;
    }
    JsonWriter& value(std::string_view text) {
        separate();
        quote(text);
        return *this;
    }
    JsonWriter& value(const char* text) { return value(std::string_view(text)); }
    JsonWriter& value(int64_t number) {
        separate();
        out_ += std::to_string(number);
        return *this;
    }
    JsonWriter& value(bool flag) {
        separate();
        out_ += flag ? "true" : "false";
        return *this;
    }
    template <class T>
    JsonWriter& field(std::string_view name, T v) {
        key(name);
        if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
            return value(static_cast<int64_t>(v));
        } else {
            return value(v);
        }
    }
    const std::string& text() const { return out_; }

private:
    JsonWriter& open(char c) {
        separate();
        out_ += c;
        first_.push_back(true);
        return *this;
    }
    JsonWriter& close(char c) {
        const bool empty = first_.back();
        first_.pop_back();
        if (!empty) newline();
        out_ += c;
        return *this;
    }
    void separate() {
        if (after_key_) {
            after_key_ = false;
            return;
        }
        if (first_.empty()) return;
        if (!first_.back()) out_ += ',';
        first_.back() = false;
        newline();
    }
    void newline() {
        out_ += '\n';
        out_.append(2 * first_.size(), ' ');
    }
    void quote(std::string_view s) {
        out_ += '"';
        for (unsigned char c : s) {
            switch (c) {
                case '"': out_ += "\\\""; break;
                case '\\': out_ += "\\\\"; break;
                case '\n': out_ += "\\n"; break;
                case '\r': out_ += "\\r"; break;
                case '\t': out_ += "\\t"; break;
                default:
                    if (c < 0x20) {
                        static constexpr char kHex[] = "0123456789abcdef";
                        out_ += "\\u00";
                        out_ += kHex[c >> 4];
                        out_ += kHex[c & 15];
                    } else {
                        out_ += static_cast<char>(c);
                    }
            }
        }
        out_ += '"';
    }

    std::string out_;
    std::vector<bool> first_;
    bool after_key_ = false;
};

}  // namespace quorvex
