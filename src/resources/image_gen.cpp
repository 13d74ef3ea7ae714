// Writes a placeholder firmware image: size bytes of an xorshift32 stream
// from a fixed seed, so every build makes the same bytes and a download can
// be checked byte for byte.
//   quillon_image_gen OUT SIZE SEED
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s OUT SIZE SEED\n", argv[0]);
    return 2;
  }
  const unsigned long long size = std::strtoull(argv[2], nullptr, 10);
  uint32_t x = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10));
  if (x == 0) x = 1;  // xorshift never leaves 0
  std::FILE* out = std::fopen(argv[1], "wb");
  if (!out) {
    std::perror(argv[1]);
    return 1;
  }
  std::vector<unsigned char> chunk(65536);
  for (unsigned long long done = 0; done < size;) {
    size_t n = static_cast<size_t>(size - done < chunk.size() ? size - done : chunk.size());
    for (size_t i = 0; i < n; ++i) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      chunk[i] = static_cast<unsigned char>(x);
    }
    if (std::fwrite(chunk.data(), 1, n, out) != n) {
      std::perror(argv[1]);
      std::fclose(out);
      return 1;
    }
    done += n;
  }
  return std::fclose(out) == 0 ? 0 : 1;
}
