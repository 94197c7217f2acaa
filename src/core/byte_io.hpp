#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <type_traits>

namespace vorn {

// Little-endian bytes on every machine, so that saved results and shipped
// search state move between platforms.
class ByteWriter {
public:
    template <class T>
    void put(T value) {
        static_assert(std::is_unsigned_v<T>);
        for (std::size_t i = 0; i < sizeof(T); ++i) bytes_.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
    }
    void put_double(double value) { put(std::bit_cast<std::uint64_t>(value)); }
    void put_bytes(std::string_view bytes) { bytes_.append(bytes); }

    std::string take() && { return std::move(bytes_); }
    const std::string& bytes() const { return bytes_; }

private:
    std::string bytes_;
};

// Reads what ByteWriter wrote. Reading past the end yields zeros and marks
// the reader as overrun, so a decoder checks once at the end rather than
// before every field; nothing is ever read outside the span.
class ByteReader {
public:
    explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    template <class T>
    T get() {
        static_assert(std::is_unsigned_v<T>);
        if (remaining() < sizeof(T)) {
            overrun_ = true;
            pos_ = bytes_.size();
            return 0;
        }
        T value = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(bytes_[pos_ + i]) << (8 * i);
        pos_ += sizeof(T);
        return value;
    }
    double get_double() { return std::bit_cast<double>(get<std::uint64_t>()); }

    std::size_t remaining() const { return bytes_.size() - pos_; }
    bool overrun() const { return overrun_; }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t pos_ = 0;
    bool overrun_ = false;
};

}  // namespace vorn
