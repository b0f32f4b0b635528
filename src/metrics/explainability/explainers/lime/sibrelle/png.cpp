// PNG encoding of the explainer's pictures (8-bit greyscale or RGB).
//
// Scanlines get the Paeth filter; the zlib stream is written
// here: runs (matches at distance 1, which is what filtered flat or black
// areas become) plus per-block Huffman codes, each block stored, coded with
// the fixed tables or with its own tables, whichever is smallest. This is
// the fast end of what general-purpose deflate settings do for filtered
// images, at a fraction of the cost of a full match search.
#if defined(__GNUC__) && !defined(__clang__)
// The build optimises at -O2, where GCC only vectorises loops it can prove
// need no scalar remainder; the filter loop wants the full vectoriser.
#pragma GCC optimize("O3")
#endif

#include "metrics/explainability/explainers/lime/sibrelle/array_access.hpp"
#include "metrics/explainability/explainers/lime/sibrelle/sibrelle.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <utility>

namespace vorn::sibrelle::kernels {

namespace {

// CRC-32 of the PNG chunks, eight bytes per step ("slicing by 8").
const std::array<std::array<uint32_t, 256>, 8>& crc_tables() {
  static const auto tables = [] {
    std::array<std::array<uint32_t, 256>, 8> t{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[0][n] = c;
    }
    for (uint32_t n = 0; n < 256; ++n) {
      for (int k = 1; k < 8; ++k) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF];
    }
    return t;
  }();
  return tables;
}

uint32_t crc32(const uint8_t* data, size_t size) {
  const auto& t = crc_tables();
  uint32_t crc = 0xFFFFFFFFu;
  while (size >= 8) {
    const uint32_t low = crc ^ (static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                                static_cast<uint32_t>(data[2]) << 16 |
                                static_cast<uint32_t>(data[3]) << 24);
    crc = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^
          t[4][low >> 24] ^ t[3][data[4]] ^ t[2][data[5]] ^ t[1][data[6]] ^ t[0][data[7]];
    data += 8;
    size -= 8;
  }
  while (size-- > 0) crc = t[0][(crc ^ *data++) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

void put32(std::string& out, uint32_t value) {
  out.push_back(static_cast<char>(value >> 24));
  out.push_back(static_cast<char>(value >> 16));
  out.push_back(static_cast<char>(value >> 8));
  out.push_back(static_cast<char>(value));
}

void put_chunk(std::string& out, const char type[4], const char* data, size_t size) {
  put32(out, static_cast<uint32_t>(size));
  const size_t start = out.size();
  out.append(type, 4);
  if (size > 0) out.append(data, size);
  const auto* typed = reinterpret_cast<const uint8_t*>(out.data() + start);
  put32(out, crc32(typed, size + 4));
}

// The Paeth residual of byte x with left neighbour a, upper b and upper-left
// c: x minus whichever of a, b, c is closest to a + b - c (ties to a, then b).
// Written without branches in 16-bit arithmetic so the row loop vectorises.
inline uint8_t paeth_residual(uint8_t x, uint8_t a, uint8_t b, uint8_t c) {
  const int16_t da = static_cast<int16_t>(b - c);  // p - a
  const int16_t db = static_cast<int16_t>(a - c);  // p - b
  const int16_t pa = static_cast<int16_t>(da < 0 ? -da : da);
  const int16_t pb = static_cast<int16_t>(db < 0 ? -db : db);
  const int16_t dc = static_cast<int16_t>(da + db);  // p - c
  const int16_t pc = static_cast<int16_t>(dc < 0 ? -dc : dc);
  const uint8_t nearest = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
  return static_cast<uint8_t>(x - nearest);
}

// Filtered scanlines, every row with the Paeth filter (type 4). On photos it
// compresses as well as choosing a filter per row, and flat or black areas
// become zeros under it as under any other; one pass per row keeps it cheap.
std::string filtered_scanlines(const uint8_t* pixels, size_t height, size_t row_bytes,
                               size_t bpp) {
  std::string out(height * (row_bytes + 1), '\0');
  std::vector<uint8_t> zero_row(row_bytes, 0);
  auto* target = reinterpret_cast<uint8_t*>(out.data());
  const size_t head = std::min(bpp, row_bytes);
  for (size_t y = 0; y < height; ++y) {
    const uint8_t* __restrict row = pixels + y * row_bytes;
    const uint8_t* __restrict up = y > 0 ? row - row_bytes : zero_row.data();
    uint8_t* __restrict filtered = target + 1;
    *target = 4;
    // The first pixel has no left neighbours: a = c = 0.
    for (size_t i = 0; i < head; ++i) filtered[i] = paeth_residual(row[i], 0, up[i], 0);
    for (size_t i = head; i < row_bytes; ++i) {
      filtered[i] = paeth_residual(row[i], row[i - bpp], up[i], up[i - bpp]);
    }
    target += row_bytes + 1;
  }
  return out;
}

// ---------------------------------------------------------------------------
// Deflate (RFC 1951) in a zlib wrapper (RFC 1950)

// Bits least significant first, as deflate packs them, into a buffer sized
// beforehand: every put stores the whole 64-bit accumulator and advances by
// the bytes completed, so no branch decides when to flush.
class BitWriter {
 public:
  BitWriter(std::string& out, size_t capacity) : out_(out), position_(out.size()) {
    out_.resize(position_ + capacity + sizeof(uint64_t));
  }
  // At most 32 bits at a time.
  void put(uint32_t bits, int count) {
    add(bits, count);
    flush();
  }
  // Bits kept pending: callers add at most 56 bits between flushes.
  void add(uint64_t bits, int count) {
    accumulator_ |= bits << filled_;
    filled_ += count;
  }
  void flush() {
    store(accumulator_, &out_[position_]);
    const int whole = filled_ & ~7;  // fewer than 8 + 56 bits were pending
    position_ += static_cast<size_t>(whole >> 3);
    accumulator_ = whole == 64 ? 0 : accumulator_ >> whole;
    filled_ -= whole;
  }
  // Pads to a byte boundary.
  void align() {
    if (filled_ > 0) put(0, 8 - filled_);
  }
  // Raw bytes, after align().
  void append(const char* data, size_t size) {
    std::memcpy(&out_[position_], data, size);
    position_ += size;
  }
  // Cuts the buffer to what was written (after align()).
  void finish() { out_.resize(position_); }

 private:
  static void store(uint64_t bits, char* at) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    for (int k = 0; k < 8; ++k) at[k] = static_cast<char>(bits >> (8 * k));
#else
    std::memcpy(at, &bits, sizeof(bits));
#endif
  }

  std::string& out_;
  size_t position_;
  uint64_t accumulator_ = 0;
  int filled_ = 0;
};

uint32_t reversed(uint32_t code, int length) {
  uint32_t result = 0;
  for (int i = 0; i < length; ++i) {
    result = (result << 1) | (code & 1);
    code >>= 1;
  }
  return result;
}

constexpr int kLiteralSymbols = 286;
// Literal/length codes are kept to 12 bits (deflate allows 15), so four of
// them fit the bit writer between flushes; the cost in size is negligible.
constexpr int kMaxLiteralBits = 12;
constexpr int kDistanceSymbols = 30;
constexpr int kEndOfBlock = 256;
constexpr int kMaxRun = 258;
constexpr int kMinRun = 3;

// Length symbol (257..285) and its extra bits for every match length 3..258.
struct LengthCodes {
  std::array<uint16_t, 259> symbol{};
  std::array<uint8_t, 259> extra_bits{};
  std::array<uint16_t, 259> extra{};
  LengthCodes() {
    static constexpr uint16_t kBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,
                                           15, 17, 19, 23, 27, 31, 35, 43, 51,  59,
                                           67, 83, 99, 115, 131, 163, 195, 227, 258};
    static constexpr uint8_t kExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    for (int i = 0; i < 28; ++i) {
      for (int length = kBase[i]; length < kBase[i + 1]; ++length) {
        symbol[length] = static_cast<uint16_t>(257 + i);
        extra_bits[length] = kExtra[i];
        extra[length] = static_cast<uint16_t>(length - kBase[i]);
      }
    }
    // 258 has a symbol of its own (285), without extra bits.
    symbol[258] = 285;
    extra_bits[258] = 0;
    extra[258] = 0;
  }
};

const LengthCodes& length_codes() {
  static const LengthCodes codes;
  return codes;
}

// Canonical Huffman code: lengths per symbol and the codes, bit-reversed
// for BitWriter.
struct HuffmanCode {
  std::vector<uint8_t> lengths;
  std::vector<uint16_t> codes;

  explicit HuffmanCode(size_t symbols = 0) : lengths(symbols, 0), codes(symbols, 0) {}

  void assign_codes() {
    std::array<uint16_t, 16> count{};
    for (uint8_t length : lengths) ++count[length];
    count[0] = 0;
    std::array<uint16_t, 16> next{};
    uint16_t code = 0;
    for (int bits = 1; bits < 16; ++bits) {
      code = static_cast<uint16_t>((code + count[bits - 1]) << 1);
      next[bits] = code;
    }
    for (size_t s = 0; s < lengths.size(); ++s) {
      if (lengths[s] != 0) codes[s] = static_cast<uint16_t>(reversed(next[lengths[s]]++, lengths[s]));
    }
  }
  uint64_t cost(const std::vector<uint32_t>& frequencies) const {
    uint64_t bits = 0;
    for (size_t s = 0; s < lengths.size(); ++s) bits += uint64_t{frequencies[s]} * lengths[s];
    return bits;
  }
};

// The fixed literal/length and distance codes of RFC 1951, 3.2.6.
const std::pair<HuffmanCode, HuffmanCode>& fixed_codes() {
  static const auto codes = [] {
    HuffmanCode literals(288);
    for (int s = 0; s < 288; ++s) {
      literals.lengths[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
    }
    literals.assign_codes();
    HuffmanCode distances(kDistanceSymbols);
    std::fill(distances.lengths.begin(), distances.lengths.end(), 5);
    distances.assign_codes();
    return std::make_pair(std::move(literals), std::move(distances));
  }();
  return codes;
}

// Optimal code lengths for the frequencies, at most `limit` bits long
// (minimum-redundancy lengths computed in place over the sorted weights,
// then the longest codes folded back under the limit, keeping the Kraft sum).
HuffmanCode build_code(const std::vector<uint32_t>& frequencies, int limit) {
  HuffmanCode code(frequencies.size());
  std::vector<std::pair<uint32_t, uint16_t>> used;  // (frequency, symbol)
  for (size_t s = 0; s < frequencies.size(); ++s) {
    if (frequencies[s] != 0) used.emplace_back(frequencies[s], static_cast<uint16_t>(s));
  }
  if (used.empty()) return code;
  if (used.size() == 1) {
    code.lengths[used[0].second] = 1;
    code.assign_codes();
    return code;
  }
  std::sort(used.begin(), used.end());
  const int n = static_cast<int>(used.size());
  std::vector<uint32_t> a(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) a[i] = used[i].first;

  // Moffat and Katajainen: on return a[i] is the code length of the i-th
  // least frequent symbol.
  a[0] += a[1];
  int root = 0;
  int leaf = 2;
  for (int next = 1; next < n - 1; ++next) {
    if (leaf >= n || a[root] < a[leaf]) {
      a[next] = a[root];
      a[root++] = static_cast<uint32_t>(next);
    } else {
      a[next] = a[leaf++];
    }
    if (leaf >= n || (root < next && a[root] < a[leaf])) {
      a[next] += a[root];
      a[root++] = static_cast<uint32_t>(next);
    } else {
      a[next] += a[leaf++];
    }
  }
  a[n - 2] = 0;
  for (int next = n - 3; next >= 0; --next) a[next] = a[a[next]] + 1;
  int available = 1;
  int used_nodes = 0;
  uint32_t depth = 0;
  root = n - 2;
  int next = n - 1;
  while (available > 0) {
    while (root >= 0 && a[root] == depth) {
      ++used_nodes;
      --root;
    }
    while (available > used_nodes) {
      a[next--] = depth;
      --available;
    }
    available = 2 * used_nodes;
    ++depth;
    used_nodes = 0;
  }

  // Count codes per length, fold those beyond the limit, restore Kraft.
  std::array<uint32_t, 64> per_length{};
  for (int i = 0; i < n; ++i) ++per_length[std::min<uint32_t>(a[i], 63)];
  for (int length = limit + 1; length < 64; ++length) per_length[limit] += per_length[length];
  uint64_t kraft = 0;
  for (int length = limit; length > 0; --length) {
    kraft += static_cast<uint64_t>(per_length[length]) << (limit - length);
  }
  while (kraft != (uint64_t{1} << limit)) {
    --per_length[limit];
    for (int length = limit - 1; length > 0; --length) {
      if (per_length[length] != 0) {
        --per_length[length];
        per_length[length + 1] += 2;
        break;
      }
    }
    --kraft;
  }
  // The most frequent symbols get the shortest codes.
  int symbol_index = n;
  for (int length = 1; length <= limit; ++length) {
    for (uint32_t k = per_length[length]; k > 0; --k) {
      code.lengths[used[static_cast<size_t>(--symbol_index)].second] = static_cast<uint8_t>(length);
    }
  }
  code.assign_codes();
  return code;
}

// Adler-32 by blocks: over n bytes d_k, a grows by sum(d_k) and b by
// n * a + sum((n - k) * d_k); both sums are plain reductions the compiler
// vectorises, and 5552 bytes keep them within 32 bits.
uint32_t adler32(const uint8_t* data, size_t size) {
  constexpr uint32_t kModulus = 65521;
  uint64_t a = 1, b = 0;
  while (size > 0) {
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(size, 5552));
    uint32_t sum = 0;
    uint32_t weighted = 0;
    for (uint32_t k = 0; k < n; ++k) {
      sum += data[k];
      weighted += (n - k) * static_cast<uint32_t>(data[k]);
    }
    b = (b + uint64_t{n} * a + weighted) % kModulus;
    a = (a + sum) % kModulus;
    data += n;
    size -= n;
  }
  return static_cast<uint32_t>((b << 16) | a);
}

// A run: `length` copies of the byte before `start` (a match at distance 1).
// The bytes between runs are literals.
struct Run {
  size_t start;
  uint16_t length;
};

// Whether any byte of `word` is zero.
inline bool has_zero_byte(uint64_t word) {
  return ((word - 0x0101010101010101ull) & ~word & 0x8080808080808080ull) != 0;
}

// Bytes in memory order, whatever the machine's byte order.
inline uint64_t load64(const uint8_t* at) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  uint64_t word = 0;
  for (int k = 7; k >= 0; --k) word = (word << 8) | at[k];
  return word;
#else
  uint64_t word;
  std::memcpy(&word, at, sizeof(word));
  return word;
#endif
}

// Index (in memory order) of the first non-zero byte of a non-zero word.
inline int first_set_byte(uint64_t word) {
  int index = 0;
  while ((word & 0xFF) == 0) {
    word >>= 8;
    ++index;
  }
  return index;
}

// The code-length alphabet's rendering of the two code length tables.
struct CodeLengthSymbol {
  uint8_t symbol;
  uint8_t extra;
};

std::vector<CodeLengthSymbol> code_length_symbols(const std::vector<uint8_t>& lengths) {
  std::vector<CodeLengthSymbol> out;
  size_t i = 0;
  while (i < lengths.size()) {
    const uint8_t length = lengths[i];
    size_t run = 1;
    while (i + run < lengths.size() && lengths[i + run] == length) ++run;
    size_t left = run;
    if (length == 0) {
      while (left >= 11) {
        const size_t n = std::min<size_t>(left, 138);
        out.push_back({18, static_cast<uint8_t>(n - 11)});
        left -= n;
      }
      if (left >= 3) {
        out.push_back({17, static_cast<uint8_t>(left - 3)});
        left = 0;
      }
    } else {
      out.push_back({length, 0});
      --left;
      while (left >= 3) {
        const size_t n = std::min<size_t>(left, 6);
        out.push_back({16, static_cast<uint8_t>(n - 3)});
        left -= n;
      }
    }
    for (; left > 0; --left) out.push_back({length, 0});
    i += run;
  }
  return out;
}

constexpr int kCodeLengthOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                      11, 4,  12, 3, 13, 2, 14, 1, 15};
int code_length_extra_bits(int symbol) { return symbol == 16 ? 2 : symbol == 17 ? 3 : symbol == 18 ? 7 : 0; }

// One block written with the given codes (its header already written):
// literal spans between the runs, the runs as distance-1 matches.
void write_block(BitWriter& writer, const uint8_t* data, size_t start, size_t end,
                 const std::vector<Run>& runs, const HuffmanCode& literals,
                 const HuffmanCode& distances) {
  const LengthCodes& lengths = length_codes();
  const uint16_t* codes = literals.codes.data();
  const uint8_t* code_lengths = literals.lengths.data();
  auto write_literals = [&](size_t from, size_t to) {
    // Four codes of at most kMaxLiteralBits each per flush.
    for (; from + 4 <= to; from += 4) {
      for (size_t k = 0; k < 4; ++k) writer.add(codes[data[from + k]], code_lengths[data[from + k]]);
      writer.flush();
    }
    for (; from < to; ++from) writer.put(codes[data[from]], code_lengths[data[from]]);
  };
  size_t cursor = start;
  for (const Run& run : runs) {
    write_literals(cursor, run.start);
    const int symbol = lengths.symbol[run.length];
    writer.put(literals.codes[symbol], literals.lengths[symbol]);
    if (lengths.extra_bits[run.length] != 0) {
      writer.put(lengths.extra[run.length], lengths.extra_bits[run.length]);
    }
    writer.put(distances.codes[0], distances.lengths[0]);  // distance 1
    cursor = run.start + run.length;
  }
  write_literals(cursor, end);
  writer.put(literals.codes[kEndOfBlock], literals.lengths[kEndOfBlock]);
}

std::string zlib_stream(const std::string& input) {
  constexpr size_t kBlock = 65535;  // also the largest stored block
  const LengthCodes& length_table = length_codes();
  const auto& [fixed_literals, fixed_distances] = fixed_codes();
  const auto* data = reinterpret_cast<const uint8_t*>(input.data());
  const size_t size = input.size();

  std::string out;
  out.push_back(static_cast<char>(0x78));  // deflate, 32K window
  out.push_back(static_cast<char>(0x01));  // fastest level, header check bits
  // No block is written larger than its stored form: at most 6 bytes of
  // header per block on top of the data bound the stream.
  BitWriter writer(out, size + 6 * (size / kBlock + 1) + 8);

  std::vector<Run> runs;
  size_t position = 0;
  do {
    const size_t block_start = position;
    const size_t block_end = std::min(size, position + kBlock);
    const bool last = block_end == size;

    std::vector<uint32_t> literal_frequencies(kLiteralSymbols, 0);
    std::vector<uint32_t> distance_frequencies(kDistanceSymbols, 0);
    uint64_t extra_bits = 0;
    runs.clear();
    size_t span_start = position;
    // Literal counts in four interleaved tables, so that runs of one value
    // do not wait on their own increments.
    std::array<std::array<uint32_t, 256>, 4> counts{};
    auto count_literals = [&](size_t from, size_t to) {
      for (; from + 4 <= to; from += 4) {
        ++counts[0][data[from]];
        ++counts[1][data[from + 1]];
        ++counts[2][data[from + 2]];
        ++counts[3][data[from + 3]];
      }
      for (; from < to; ++from) ++counts[0][data[from]];
    };
    while (position < block_end) {
      // Eight bytes at a time while no byte repeats its predecessor.
      if (position > 0 && position + 8 <= block_end &&
          !has_zero_byte(load64(data + position) ^ load64(data + position - 1))) {
        position += 8;
        continue;
      }
      const uint8_t byte = data[position];
      if (position > 0 && byte == data[position - 1]) {
        const size_t limit = std::min<size_t>(kMaxRun, block_end - position);
        size_t length = 1;
        const uint64_t repeated = 0x0101010101010101ull * byte;
        while (length + 8 <= limit) {
          const uint64_t differs = load64(data + position + length) ^ repeated;
          if (differs != 0) {
            length += static_cast<size_t>(first_set_byte(differs));
            break;
          }
          length += 8;
        }
        while (length < limit && data[position + length] == byte) ++length;
        if (length >= static_cast<size_t>(kMinRun)) {
          count_literals(span_start, position);
          runs.push_back({position, static_cast<uint16_t>(length)});
          ++literal_frequencies[length_table.symbol[length]];
          ++distance_frequencies[0];
          extra_bits += length_table.extra_bits[length];
          position += length;
          span_start = position;
          continue;
        }
      }
      ++position;
    }
    count_literals(span_start, block_end);
    for (int byte = 0; byte < 256; ++byte) {
      literal_frequencies[byte] += counts[0][byte] + counts[1][byte] + counts[2][byte] + counts[3][byte];
    }
    literal_frequencies[kEndOfBlock] = 1;
    const size_t block_size = block_end - block_start;

    // The block's own codes and what its header costs.
    HuffmanCode literals = build_code(literal_frequencies, kMaxLiteralBits);
    HuffmanCode distances = build_code(distance_frequencies, 15);
    if (distance_frequencies[0] == 0) {
      // At least one distance code must be described, even if unused.
      distances.lengths[0] = 1;
      distances.assign_codes();
    }
    size_t literal_count = kLiteralSymbols;
    while (literal_count > 257 && literals.lengths[literal_count - 1] == 0) --literal_count;
    size_t distance_count = kDistanceSymbols;
    while (distance_count > 1 && distances.lengths[distance_count - 1] == 0) --distance_count;
    std::vector<uint8_t> all_lengths(literals.lengths.begin(),
                                     literals.lengths.begin() + literal_count);
    all_lengths.insert(all_lengths.end(), distances.lengths.begin(),
                       distances.lengths.begin() + distance_count);
    const std::vector<CodeLengthSymbol> header_symbols = code_length_symbols(all_lengths);
    std::vector<uint32_t> header_frequencies(19, 0);
    for (const CodeLengthSymbol& s : header_symbols) ++header_frequencies[s.symbol];
    // A code-length code must be complete: give a lone symbol a partner.
    if (std::count_if(header_frequencies.begin(), header_frequencies.end(),
                      [](uint32_t f) { return f != 0; }) == 1) {
      ++header_frequencies[header_frequencies[0] != 0 ? 1 : 0];
    }
    const HuffmanCode header_code = build_code(header_frequencies, 7);
    int header_count = 19;
    while (header_count > 4 && header_code.lengths[kCodeLengthOrder[header_count - 1]] == 0) {
      --header_count;
    }
    uint64_t header_bits = 5 + 5 + 4 + 3 * static_cast<uint64_t>(header_count);
    for (const CodeLengthSymbol& s : header_symbols) {
      header_bits += header_code.lengths[s.symbol] + code_length_extra_bits(s.symbol);
    }

    const uint64_t dynamic_bits = 3 + header_bits + literals.cost(literal_frequencies) +
                                  distances.cost(distance_frequencies) + extra_bits;
    std::vector<uint32_t> fixed_literal_frequencies(literal_frequencies);
    fixed_literal_frequencies.resize(288, 0);
    const uint64_t fixed_bits = 3 + fixed_literals.cost(fixed_literal_frequencies) +
                                fixed_distances.cost(distance_frequencies) + extra_bits;
    const uint64_t stored_bits = 3 + 7 + 32 + 8 * static_cast<uint64_t>(block_size);

    if (stored_bits <= dynamic_bits && stored_bits <= fixed_bits) {
      writer.put(last ? 1 : 0, 1);
      writer.put(0, 2);
      writer.align();
      writer.put(static_cast<uint32_t>(block_size), 16);
      writer.put(static_cast<uint32_t>(~block_size & 0xFFFF), 16);
      writer.append(input.data() + block_start, block_size);
    } else if (fixed_bits <= dynamic_bits) {
      writer.put(last ? 1 : 0, 1);
      writer.put(1, 2);
      write_block(writer, data, block_start, block_end, runs, fixed_literals, fixed_distances);
    } else {
      writer.put(last ? 1 : 0, 1);
      writer.put(2, 2);
      writer.put(static_cast<uint32_t>(literal_count - 257), 5);
      writer.put(static_cast<uint32_t>(distance_count - 1), 5);
      writer.put(static_cast<uint32_t>(header_count - 4), 4);
      for (int i = 0; i < header_count; ++i) writer.put(header_code.lengths[kCodeLengthOrder[i]], 3);
      for (const CodeLengthSymbol& s : header_symbols) {
        writer.put(header_code.codes[s.symbol], header_code.lengths[s.symbol]);
        const int extra = code_length_extra_bits(s.symbol);
        if (extra != 0) writer.put(s.extra, extra);
      }
      write_block(writer, data, block_start, block_end, runs, literals, distances);
    }
  } while (position < size);
  writer.align();
  writer.finish();
  put32(out, adler32(data, size));
  return out;
}

}  // namespace

py::object encode_png(py::handle value) {
  py::array array = plain_array(value);
  if (!array) return py::object();
  const py::dtype dtype = array.dtype();
  if (dtype.kind() != 'u' || dtype.itemsize() != 1) return py::object();
  const bool colour = array.ndim() == 3 && array.shape(2) == 3;
  if (!colour && array.ndim() != 2) return py::object();
  const Py_ssize_t height = array.shape(0);
  const Py_ssize_t width = array.shape(1);
  constexpr Py_ssize_t kMaxSide = 0x7FFFFFFF;
  if (height <= 0 || width <= 0 || height > kMaxSide || width > kMaxSide) return py::object();

  const size_t channels = colour ? 3 : 1;
  const size_t row_bytes = static_cast<size_t>(width) * channels;
  std::vector<uint8_t> copy;
  const uint8_t* pixels = packed_elements<uint8_t>(array, copy);
  const std::string scanlines =
      filtered_scanlines(pixels, static_cast<size_t>(height), row_bytes, channels);

  const std::string deflated = zlib_stream(scanlines);

  std::string png("\x89PNG\r\n\x1a\n", 8);
  std::string header;
  put32(header, static_cast<uint32_t>(width));
  put32(header, static_cast<uint32_t>(height));
  header.push_back(8);                    // bit depth
  header.push_back(colour ? 2 : 0);       // truecolour or greyscale
  header.append(std::string(3, '\0'));    // deflate, adaptive filtering, no interlace
  put_chunk(png, "IHDR", header.data(), header.size());
  put_chunk(png, "IDAT", deflated.data(), deflated.size());
  put_chunk(png, "IEND", nullptr, 0);
  return py::bytes(png);
}

}  // namespace vorn::sibrelle::kernels
