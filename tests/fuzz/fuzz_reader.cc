// Mutation fuzzer of the persistence reader. Starting from seed frames, it
// applies random byte and token mutations (flips, insertions, deletions,
// splices between seeds, truncation, header edits, deep nesting) and reads
// each result. Beyond not crashing, every input must be either rejected with
// a reader message or accepted as a model whose frame reads back to itself.
//
//   kavri_fuzz_reader <corpus dir> <iterations> [rng seed]
//   kavri_fuzz_reader --write-seeds <corpus dir>
//
// The random stream is fixed by the seed, so a run is reproducible; a failing
// input is written to fuzz-failure.bin in the working directory.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "fit/persistence/format.h"
#include "fit/persistence/reader.h"
#include "fit/persistence/writer.h"
#include "persistence_samples.h"

namespace {

namespace fs = std::filesystem;
namespace persistence = kavri::fit::persistence;
using Bytes = std::vector<std::uint8_t>;

constexpr std::string_view kMessagePrefix = "FittedGam::deserialize: ";

// Tokens that steer the reader into its rules: member keys, tags, numbers at
// the edges of their categories, brackets.
constexpr std::string_view kDictionary[] = {
    R"("kind")", R"("v")", R"("dim")", R"("data")", R"("beta")", R"("vcov")", R"("predictor")",
    R"("link_kind")", R"("shape_params")", R"("levels")", R"("term_predictors")", R"("cols_used")",
    R"("term_col_ranges")", R"("bs_a")", R"("cr")", R"("re")", R"("cr_stable")", R"("additive")",
    R"("tensor")", R"("Log")", R"({"Logit":null})", R"({"cr":{}})", "null", "true", "false", "0", "-0",
    "1", "5", "255", "256", "-1", "1.0", "1e400", "-1e-400", "18446744073709551615", "18446744073709551616",
    "-9223372036854775808", "-9223372036854775809", "4294967296", "[", "]", "{", "}", ",", ":", "\"",
    "\\u0000", "\xEF\xBB\xBF", "[1,[0],[]]", R"({"v":1,"dim":[0,0],"data":[]})", "[]", "{}",
};

constexpr char kBytes[] = {'{', '}', '[', ']', ':', ',', '"', '\\', '-', '+', '.', 'e', '0', '1', '9', ' ',
                           '\n', 'n', 't', 'f', '\0', '\xEF', '\xFF', '\x80'};

class Mutator {
 public:
  Mutator(std::uint64_t seed, const std::vector<Bytes>& seeds) : rng_(seed), seeds_(seeds) {}

  Bytes next() {
    Bytes frame = seeds_[pick(seeds_.size())];
    std::string body(frame.begin() + persistence::kHeaderSize, frame.end());
    const std::size_t rounds = 1 + pick(4);
    for (std::size_t r = 0; r < rounds; ++r) mutate_body(body);
    // Sized once and filled in place: growing a header-sized vector by the
    // body trips a false -Warray-bounds of g++ 12 at -O3.
    Bytes out(persistence::kHeaderSize + body.size());
    std::copy_n(frame.begin(), persistence::kHeaderSize, out.begin());
    std::copy(body.begin(), body.end(), out.begin() + persistence::kHeaderSize);
    set_length(out, body.size());
    if (chance(8)) mutate_header(out);
    if (chance(20)) out.resize(pick(out.size() + 1));
    return out;
  }

 private:
  std::size_t pick(std::size_t n) { return n == 0 ? 0 : std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }
  bool chance(std::size_t one_in) { return pick(one_in) == 0; }

  static void set_length(Bytes& frame, std::uint64_t length) {
    for (std::size_t i = 0; i < 8; ++i) frame[persistence::kLengthOffset + i] = static_cast<std::uint8_t>(length >> (8 * i));
  }

  void mutate_header(Bytes& frame) {
    switch (pick(4)) {
      case 0: frame[pick(persistence::kHeaderSize)] ^= static_cast<std::uint8_t>(1u << pick(8)); break;
      case 1: set_length(frame, frame.size() - persistence::kHeaderSize + pick(3) - 1); break;
      case 2: set_length(frame, ~std::uint64_t{0} - pick(40)); break;
      default: frame[persistence::kVersionOffset + pick(4)] = static_cast<std::uint8_t>(pick(256)); break;
    }
  }

  void mutate_body(std::string& body) {
    const std::size_t at = pick(body.size() + 1);
    switch (pick(10)) {
      case 0:
        if (!body.empty()) body[pick(body.size())] ^= static_cast<char>(1u << pick(8));
        break;
      case 1:
        if (!body.empty()) body[pick(body.size())] = kBytes[pick(std::size(kBytes))];
        break;
      case 2: body.insert(chance(16) ? 0 : at, kDictionary[pick(std::size(kDictionary))]); break;
      case 3: body.erase(at, pick(16) + 1); break;
      case 4: {  // a copy of one stretch elsewhere
        const std::size_t from = pick(body.size() + 1);
        const std::string stretch = body.substr(from, pick(64) + 1);
        body.insert(pick(body.size() + 1), stretch);
        break;
      }
      case 5: {  // the tail of another seed
        const Bytes& other = seeds_[pick(seeds_.size())];
        const std::size_t from = persistence::kHeaderSize + pick(other.size() - persistence::kHeaderSize);
        body.resize(at);
        body.append(other.begin() + static_cast<std::ptrdiff_t>(from), other.end());
        break;
      }
      case 6: {  // nesting near the limit, balanced or not
        const std::size_t depth = 100 + pick(60);
        const char open = chance(2) ? '[' : '{';
        std::string nested(depth, open);
        if (open == '{') {
          nested.clear();
          for (std::size_t i = 0; i < depth; ++i) nested += R"({"k":)";
          nested += "0" + std::string(depth, '}');
        } else if (chance(2)) {
          nested += std::string(depth, ']');
        }
        body.insert(at, nested);
        break;
      }
      case 7: {  // replace one number
        const std::size_t digit = body.find_first_of("0123456789", at);
        if (digit == std::string::npos) break;
        const std::size_t end = body.find_first_not_of("0123456789.eE+-", digit);
        body.replace(digit, end == std::string::npos ? std::string::npos : end - digit,
                     kDictionary[pick(std::size(kDictionary))]);
        break;
      }
      case 8: body.resize(at); break;
      default: body.insert(at, std::string(pick(4) + 1, kBytes[pick(std::size(kBytes))])); break;
    }
  }

  std::mt19937_64 rng_;
  const std::vector<Bytes>& seeds_;
};

[[noreturn]] void fail(const Bytes& input, const std::string& why) {
  std::ofstream("fuzz-failure.bin", std::ios::binary).write(reinterpret_cast<const char*>(input.data()),
                                                             static_cast<std::streamsize>(input.size()));
  std::fprintf(stderr, "fuzz failure: %s (input written to fuzz-failure.bin)\n", why.c_str());
  std::abort();
}

void check(const Bytes& input, std::uint64_t& accepted) {
  auto model = persistence::deserialize_fitted_gam(input);
  if (!model) {
    if (!model.error().is<kavri::InvalidParameter>() || !model.error().message().starts_with(kMessagePrefix)) {
      fail(input, "unexpected error: " + model.error().display());
    }
    return;
  }
  ++accepted;
  // An accepted model writes a frame that reads back to the same frame.
  const Bytes written = persistence::serialize_fitted_gam(*model);
  auto again = persistence::deserialize_fitted_gam(written);
  if (!again) fail(input, "written frame rejected: " + again.error().message());
  if (persistence::serialize_fitted_gam(*again) != written) fail(input, "written frame does not read back to itself");
}

// Seeds: the writer's frames of the sample models, and bodies in the forms
// the writer never produces (array forms, tags by index, reordered keys).
std::vector<std::pair<std::string, Bytes>> seed_frames() {
  std::vector<std::pair<std::string, Bytes>> seeds;
  for (const auto& sample : kavri::testing::sample_models()) {
    seeds.emplace_back(sample.name, persistence::serialize_fitted_gam(sample.model));
  }
  const std::pair<const char*, std::string_view> bodies[] = {
      {"array_form",
       R"([[1,[1],[2.5]],[1,[0],[]],[1,[0],[]],1,0.5,[1,[0],[]],3,0,true,-1e-3,)"
       R"(["additive",[[0,[1,[3],[0,0.5,1]],[1,[3,2],[-1,-1,1,0,0,1]]],["re",[1,2]],[4,0,1,"cr",{"cr":null},)"
       R"([1,[3],[0,1,2]],[1,[3],[-1,0,1]],[1,[3,3],[1,0,0,0,1,0,0,0,1]],[1,[3,3],[1,0,0,0,1,0,0,0,1]],)"
       R"([1,[9,8],[-1,-1,-1,-1,-1,-1,-1,-1,1,0,0,0,0,0,0,0,0,1,0,0,0,0,0,0,0,0,1,0,0,0,0,0,0,)"
       R"(0,0,1,0,0,0,0,0,0,0,0,1,0,0,0,0,0,0,0,0,1,0,0,0,0,0,0,0,0,1,0,0,0,0,0,0,0,0,1]]]],)"
       R"([[0],[1],[0,1]],[[1,3],[3,5],[5,13]]],)"
       R"([1,[1,1],[0.25]],{"Identity":null}])"},
      {"reordered",
       R"({"link_kind":"Logit","predictor":{"levels":[-1,-0,0,3],"kind":"re"},"vcov":{"data":[],"dim":[0,0],"v":1},)"
       R"("extra":[[{"deep":[null]}]],"n":7,"n_iters":2,"converged":false,"reml_value":null,"scale":null,)"
       R"("edf_total":-0,"beta":[1,[0],[]],"rho":[1,[0],[]],"lambda":[1,[0],[]],"edf_per_term":[1,[0],[]]})"},
  };
  for (const auto& [name, body] : bodies) {
    Bytes frame = {'K', 'A', 'V', 'R', 'I', 1, 0, 0, 0};
    for (std::size_t i = 0; i < 8; ++i) frame.push_back(static_cast<std::uint8_t>(body.size() >> (8 * i)));
    frame.insert(frame.end(), body.begin(), body.end());
    seeds.emplace_back(name, std::move(frame));
  }
  return seeds;
}

Bytes read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string_view(argv[1]) == "--write-seeds") {
    fs::create_directories(argv[2]);
    for (const auto& [name, frame] : seed_frames()) {
      std::ofstream(fs::path(argv[2]) / (name + ".bin"), std::ios::binary)
          .write(reinterpret_cast<const char*>(frame.data()), static_cast<std::streamsize>(frame.size()));
    }
    return 0;
  }
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: %s <corpus dir> <iterations> [rng seed]\n       %s --write-seeds <corpus dir>\n",
                 argv[0], argv[0]);
    return 2;
  }
  std::vector<Bytes> seeds;
  std::vector<fs::path> paths;
  for (const auto& entry : fs::directory_iterator(argv[1]))
    if (entry.path().extension() == ".bin") paths.push_back(entry.path());
  std::sort(paths.begin(), paths.end());  // directory order is not fixed
  for (const auto& path : paths) {
    Bytes frame = read_file(path);
    if (frame.size() <= persistence::kHeaderSize) {
      std::fprintf(stderr, "seed %s is not a frame\n", path.c_str());
      return 2;
    }
    seeds.push_back(std::move(frame));
  }
  if (seeds.empty()) {
    std::fprintf(stderr, "no seeds in %s\n", argv[1]);
    return 2;
  }
  const std::uint64_t iterations = std::strtoull(argv[2], nullptr, 10);
  const std::uint64_t rng_seed = argc == 4 ? std::strtoull(argv[3], nullptr, 10) : 1;

  std::uint64_t accepted = 0;
  for (const Bytes& seed : seeds) {
    if (!persistence::deserialize_fitted_gam(seed)) fail(seed, "a seed is rejected");
    check(seed, accepted);
  }
  Mutator mutator(rng_seed, seeds);
  for (std::uint64_t i = 0; i < iterations; ++i) check(mutator.next(), accepted);
  std::printf("%llu inputs from %zu seeds, %llu accepted\n", static_cast<unsigned long long>(iterations),
              seeds.size(), static_cast<unsigned long long>(accepted));
  return 0;
}
