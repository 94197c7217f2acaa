#include "result/result_codec.hpp"

#include <cmath>
#include <cstring>

#include "core/byte_io.hpp"
#include "result/formula_codec.hpp"

namespace vorn {

namespace {

constexpr char kMagic[4] = {'V', 'O', 'R', 'N'};
// magic, version (u16), flags (u8), error (f64), token count (u32)
constexpr std::size_t kHeaderBytes = 4 + 2 + 1 + 8 + 4;
constexpr std::uint8_t kConstantFlag = 1;

DecodedResult refuse(std::string problem) { return DecodedResult{std::nullopt, std::move(problem)}; }

}  // namespace

std::string encode_result(const SearchResult& result) {
    ByteWriter out;
    out.put_bytes(std::string_view(kMagic, sizeof kMagic));
    out.put(kResultFormatVersion);
    out.put(result.is_constant ? kConstantFlag : std::uint8_t{0});
    out.put_double(result.error);
    out.put(static_cast<std::uint32_t>(result.expression.tokens.size()));
    encode_tokens(out, result.expression.tokens);
    return std::move(out).take();
}

DecodedResult decode_result(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kHeaderBytes || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0)
        return refuse("the data is not a saved vorn_sr SearchResult");
    ByteReader in(bytes.subspan(sizeof kMagic));
    const std::uint16_t version = in.get<std::uint16_t>();
    if (version != kResultFormatVersion)
        return refuse("it was saved in format " + std::to_string(version) + ", and this vorn_sr reads format " +
                      std::to_string(kResultFormatVersion) +
                      (version > kResultFormatVersion ? " only; a newer vorn_sr wrote it" : " only"));
    const std::uint8_t flags = in.get<std::uint8_t>();
    if ((flags & ~kConstantFlag) != 0) return refuse("it has unknown flags");
    const double error = in.get_double();
    if (!(error >= 0.0) || !std::isfinite(error)) return refuse("its error is not a finite non-negative number");
    const std::uint32_t count = in.get<std::uint32_t>();
    if (count == 0 || count > kMaxRestoredTokens)
        return refuse("it holds " + std::to_string(count) + " tokens; a formula has 1 to " +
                      std::to_string(kMaxRestoredTokens));
    if (in.remaining() != std::size_t{count} * kTokenBytes) return refuse("its data is truncated or padded");

    auto registry = OperatorRegistry::shared_builtins();
    std::string problem;
    auto formula = decode_formula(in, count, *registry, problem);
    if (!formula) return refuse(std::move(problem));
    return DecodedResult{SearchResult{std::move(*formula), registry, error, (flags & kConstantFlag) != 0}, {}};
}

}  // namespace vorn
