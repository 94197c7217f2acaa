#include "result/result_codec.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

namespace vorn {

namespace {

constexpr char kMagic[4] = {'V', 'O', 'R', 'N'};
// magic, version (u16), flags (u8), error (f64), token count (u32)
constexpr std::size_t kHeaderBytes = 4 + 2 + 1 + 8 + 4;
constexpr std::uint8_t kConstantFlag = 1;
// kind (u8), slot / index / arity (u8), operator id (u16), value (2 x f64)
constexpr std::size_t kTokenBytes = 1 + 1 + 2 + 8 + 8;

// Little-endian on every machine, so a pickle moves between platforms.
template <class T>
void put(std::string& out, T value) {
    static_assert(std::is_unsigned_v<T>);
    for (std::size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

void put_double(std::string& out, double value) { put(out, std::bit_cast<std::uint64_t>(value)); }

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    template <class T>
    T get() {
        T value = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(bytes_[pos_ + i]) << (8 * i);
        pos_ += sizeof(T);
        return value;
    }
    double get_double() { return std::bit_cast<double>(get<std::uint64_t>()); }
    std::size_t remaining() const { return bytes_.size() - pos_; }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t pos_ = 0;
};

bool finite(Complex v) { return std::isfinite(v.re) && std::isfinite(v.im); }

// The one byte a token's kind gives meaning to: a variable's index, a
// parameter's slot or an operator's arity.
std::uint8_t operand_byte(const Token& token) {
    switch (token.kind) {
        case TokenKind::Var: return token.var_index;
        case TokenKind::Param: return token.param_slot;
        case TokenKind::Op: return token.arity;
        default: return 0;
    }
}

DecodedResult refuse(std::string problem) { return DecodedResult{std::nullopt, std::move(problem)}; }

}  // namespace

std::string encode_result(const SearchResult& result) {
    std::string out(kMagic, sizeof kMagic);
    put(out, kResultFormatVersion);
    put(out, result.is_constant ? kConstantFlag : std::uint8_t{0});
    put_double(out, result.error);
    put(out, static_cast<std::uint32_t>(result.expression.tokens.size()));
    for (const Token& token : result.expression.tokens) {
        put(out, static_cast<std::uint8_t>(token.kind));
        put(out, operand_byte(token));
        put(out, static_cast<std::uint16_t>(token.op_id));
        put_double(out, token.value.re);
        put_double(out, token.value.im);
    }
    return out;
}

DecodedResult decode_result(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kHeaderBytes || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0)
        return refuse("the data is not a saved vorn_sr SearchResult");
    Reader in(bytes.subspan(sizeof kMagic));
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
    const auto& metas = registry->metas();
    SearchResult result{Expression{}, registry, error, (flags & kConstantFlag) != 0};
    Expression& e = result.expression;
    e.tokens.reserve(count);
    // The display text, rebuilt the way composition writes it.
    std::vector<std::string> texts;
    std::size_t vars = 0, params = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto kind = in.get<std::uint8_t>();
        const auto small = in.get<std::uint8_t>();
        const auto op_id = in.get<std::uint16_t>();
        const Complex value{in.get_double(), in.get_double()};
        const std::string where = "token " + std::to_string(i) + " ";
        switch (static_cast<TokenKind>(kind)) {
            case TokenKind::Var:
                if (small >= kMaxVars || op_id != 0 || value.re != 0.0 || value.im != 0.0)
                    return refuse(where + "is not a valid variable");
                e.tokens.push_back(Token::var(small));
                texts.push_back("v_{" + std::to_string(small) + "}");
                vars = std::max<std::size_t>(vars, std::size_t{small} + 1);
                break;
            case TokenKind::Param:
                // Slots count up from 0 in token order.
                if (small != params || op_id != 0 || !finite(value))
                    return refuse(where + "is not a valid fitted constant");
                e.tokens.push_back(Token::param(small, value));
                texts.emplace_back("C");
                ++params;
                break;
            case TokenKind::Op: {
                if (op_id >= metas.size() || metas[op_id].arity == 0 || small != metas[op_id].arity ||
                    value.re != 0.0 || value.im != 0.0)
                    return refuse(where + "is not a valid operator");
                if (texts.size() < small) return refuse(where + "has too few operands");
                std::string text = metas[op_id].name + "(";
                const std::size_t base = texts.size() - small;
                for (std::size_t a = base; a < texts.size(); ++a) {
                    if (a != base) text += ", ";
                    text += texts[a];
                }
                text += ')';
                texts.resize(base);
                texts.push_back(std::move(text));
                e.tokens.push_back(Token::op(small, op_id));
                break;
            }
            default:
                // Searches build formulas from variables, fitted constants and
                // operators only.
                return refuse(where + "has an unknown kind " + std::to_string(kind));
        }
    }
    if (texts.size() != 1) return refuse("its tokens do not form one formula");
    e.text = std::move(texts.front());
    e.num_vars = static_cast<std::uint8_t>(vars);
    e.num_params = static_cast<std::uint8_t>(params);
    return DecodedResult{std::move(result), {}};
}

}  // namespace vorn
