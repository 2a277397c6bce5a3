#include "soft.h"

#include <gcrypt.h>

#include <array>
#include <cstring>
#include <mutex>

namespace gea {
namespace {

// libgcrypt's Windows entropy gatherer notes missing disk statistics on stderr; nothing of
// its informational output concerns a key library's caller.
void QuietLog(void*, int level, const char* format, va_list args) {
  if (level >= GCRY_LOG_ERROR) std::vfprintf(stderr, format, args);
}

struct Mpi {
  gcry_mpi_t value = nullptr;
  Mpi() : value(gcry_mpi_new(0)) {}
  explicit Mpi(const Bytes& bytes) {
    gcry_mpi_scan(&value, GCRYMPI_FMT_USG, bytes.data(), bytes.size(), nullptr);
    if (value == nullptr) value = gcry_mpi_new(0);
  }
  ~Mpi() { gcry_mpi_release(value); }
  Mpi(const Mpi&) = delete;
  Mpi& operator=(const Mpi&) = delete;

  // Big-endian, left-padded with zeros to `size` bytes (0: as short as it goes).
  Bytes ToBytes(size_t size = 0) const {
    unsigned char* buffer = nullptr;
    size_t length = 0;
    gcry_mpi_aprint(GCRYMPI_FMT_USG, &buffer, &length, value);
    Bytes out(buffer, buffer + length);
    gcry_free(buffer);
    out = Trimmed(std::move(out));
    if (size > out.size()) out.insert(out.begin(), size - out.size(), 0);
    return out;
  }
};

Bytes SexpNumber(gcry_sexp_t key, const char* name) {
  gcry_sexp_t part = gcry_sexp_find_token(key, name, 0);
  if (part == nullptr) return {};
  gcry_mpi_t value = gcry_sexp_nth_mpi(part, 1, GCRYMPI_FMT_USG);
  gcry_sexp_release(part);
  Mpi holder;
  gcry_mpi_release(holder.value);
  holder.value = value;
  return value != nullptr ? holder.ToBytes() : Bytes();
}

// Input checks shared by both RSA directions: the modulus's length and a value below it.
bool FitsModulus(const RsaKey& key, const unsigned char* in, size_t length) {
  return !key.n.empty() && in != nullptr && length == key.n.size() && std::memcmp(in, key.n.data(), length) < 0;
}

}  // namespace

void InitCrypto() {
  static std::once_flag once;
  std::call_once(once, [] {
    gcry_set_log_handler(QuietLog, nullptr);
    if (!gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) {
      gcry_check_version(nullptr);
      gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
      gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    }
  });
}

void Random(unsigned char* out, size_t length) {
  InitCrypto();
  gcry_randomize(out, length, GCRY_STRONG_RANDOM);
}

std::optional<RsaKey> RsaGenerate(int bits) {
  if (bits != 1024 && bits != 2048) return std::nullopt;
  InitCrypto();
  const std::string request = "(genkey (rsa (nbits 4:" + std::to_string(bits) + ") (rsa-use-e 5:65537)))";
  gcry_sexp_t params = nullptr, pair = nullptr;
  if (gcry_sexp_new(&params, request.data(), request.size(), 1) != 0) return std::nullopt;
  const gcry_error_t err = gcry_pk_genkey(&pair, params);
  gcry_sexp_release(params);
  if (err != 0) return std::nullopt;
  gcry_sexp_t secret = gcry_sexp_find_token(pair, "private-key", 0);
  RsaKey key;
  if (secret != nullptr) {
    key.n = SexpNumber(secret, "n");
    key.e = SexpNumber(secret, "e");
    key.d = SexpNumber(secret, "d");
    // libgcrypt keeps p < q; the CRT parts are worked out for our own p and q below.
    key.p = SexpNumber(secret, "p");
    key.q = SexpNumber(secret, "q");
    gcry_sexp_release(secret);
  }
  gcry_sexp_release(pair);
  if (!key.HasPrivate()) return std::nullopt;
  Mpi d(key.d), p(key.p), q(key.q), one, pm1, qm1, dp, dq, qinv;
  gcry_mpi_set_ui(one.value, 1);
  gcry_mpi_sub(pm1.value, p.value, one.value);
  gcry_mpi_sub(qm1.value, q.value, one.value);
  gcry_mpi_mod(dp.value, d.value, pm1.value);
  gcry_mpi_mod(dq.value, d.value, qm1.value);
  gcry_mpi_invm(qinv.value, q.value, p.value);
  key.dp = dp.ToBytes();
  key.dq = dq.ToBytes();
  key.qinv = qinv.ToBytes();
  return key;
}

std::optional<Bytes> RsaPublic(const RsaKey& key, const unsigned char* in, size_t length) {
  if (!FitsModulus(key, in, length) || key.e.empty()) return std::nullopt;
  InitCrypto();
  Mpi x(Bytes(in, in + length)), e(key.e), n(key.n), y;
  gcry_mpi_powm(y.value, x.value, e.value, n.value);
  return y.ToBytes(key.n.size());
}

std::optional<Bytes> RsaPrivate(const RsaKey& key, const unsigned char* in, size_t length) {
  if (!FitsModulus(key, in, length) || !key.HasPrivate() || key.dp.empty() || key.dq.empty() || key.qinv.empty()) {
    return std::nullopt;
  }
  InitCrypto();
  // Chinese remainder: two half-size exponentiations instead of one full one.
  Mpi x(Bytes(in, in + length)), p(key.p), q(key.q), dp(key.dp), dq(key.dq), qinv(key.qinv), m1, m2, h, y;
  gcry_mpi_powm(m1.value, x.value, dp.value, p.value);
  gcry_mpi_powm(m2.value, x.value, dq.value, q.value);
  gcry_mpi_subm(h.value, m1.value, m2.value, p.value);
  gcry_mpi_mulm(h.value, h.value, qinv.value, p.value);
  gcry_mpi_mul(y.value, h.value, q.value);
  gcry_mpi_add(y.value, y.value, m2.value);
  return y.ToBytes(key.n.size());
}

std::optional<Bytes> PadType1(const unsigned char* data, size_t length, size_t size) {
  if (length + 11 > size) return std::nullopt;
  Bytes block(size, 0xFF);
  block[0] = 0x00;
  block[1] = 0x01;
  block[size - length - 1] = 0x00;
  if (length > 0) std::memcpy(&block[size - length], data, length);
  return block;
}

std::optional<Bytes> PadType2(const unsigned char* data, size_t length, size_t size) {
  if (length + 11 > size) return std::nullopt;
  Bytes block(size, 0);
  block[1] = 0x02;
  const size_t fill = size - length - 3;
  Random(&block[2], fill);
  for (size_t i = 2; i < 2 + fill; ++i) {
    while (block[i] == 0) Random(&block[i], 1);
  }
  if (length > 0) std::memcpy(&block[size - length], data, length);
  return block;
}

namespace {

std::optional<Bytes> Unpad(const Bytes& block, unsigned char type) {
  if (block.size() < 11 || block[0] != 0x00 || block[1] != type) return std::nullopt;
  size_t i = 2;
  for (; i < block.size() && block[i] != 0x00; ++i) {
    if (type == 0x01 && block[i] != 0xFF) return std::nullopt;
  }
  // At least eight padding bytes, then the zero separator.
  if (i >= block.size() || i < 10) return std::nullopt;
  return Bytes(block.begin() + static_cast<long>(i) + 1, block.end());
}

}  // namespace

std::optional<Bytes> UnpadType1(const Bytes& block) { return Unpad(block, 0x01); }
std::optional<Bytes> UnpadType2(const Bytes& block) { return Unpad(block, 0x02); }

size_t DigestLength(int algorithm) {
  switch (algorithm) {
    case kAlgMd2:
    case kAlgMd5:
      return 16;
    case kAlgSha1:
      return 20;
    case kAlgSslShaMd5:
      return 36;
    default:
      return 0;
  }
}

}  // namespace gea

namespace {

// RFC 1319; libgcrypt has no MD2.
class Md2 : public HS_HASH_CTX {
 public:
  void Update(const unsigned char* data, size_t length) override {
    for (size_t i = 0; i < length; ++i) {
      block_[used_++] = data[i];
      if (used_ == 16) Compress();
    }
  }
  Bytes Final() override {
    const unsigned char pad = static_cast<unsigned char>(16 - used_);
    while (used_ < 16) block_[used_++] = pad;
    Compress();
    std::memcpy(block_.data(), checksum_.data(), 16);
    used_ = 16;
    Compress(false);
    return Bytes(state_.begin(), state_.begin() + 16);
  }

 private:
  static const unsigned char kPi[256];

  void Compress(bool withChecksum = true) {
    for (int i = 0; i < 16; ++i) {
      state_[16 + i] = block_[i];
      state_[32 + i] = static_cast<unsigned char>(state_[16 + i] ^ state_[i]);
    }
    unsigned t = 0;
    for (int round = 0; round < 18; ++round) {
      for (int k = 0; k < 48; ++k) t = state_[k] ^= kPi[t];
      t = (t + round) & 0xFF;
    }
    if (withChecksum) {
      unsigned char l = checksum_[15];
      for (int i = 0; i < 16; ++i) l = checksum_[i] ^= kPi[block_[i] ^ l];
    }
    used_ = 0;
  }

  std::array<unsigned char, 48> state_{};
  std::array<unsigned char, 16> checksum_{};
  std::array<unsigned char, 16> block_{};
  size_t used_ = 0;
};

const unsigned char Md2::kPi[256] = {
    41,  46,  67,  201, 162, 216, 124, 1,   61,  54,  84,  161, 236, 240, 6,   19,  98,  167, 5,   243, 192, 199,
    115, 140, 152, 147, 43,  217, 188, 76,  130, 202, 30,  155, 87,  60,  253, 212, 224, 22,  103, 66,  111, 24,
    138, 23,  229, 18,  190, 78,  196, 214, 218, 158, 222, 73,  160, 251, 245, 142, 187, 47,  238, 122, 169, 104,
    121, 145, 21,  178, 7,   63,  148, 194, 16,  137, 11,  34,  95,  33,  128, 127, 93,  154, 90,  144, 50,  39,
    53,  62,  204, 231, 191, 247, 151, 3,   255, 25,  48,  179, 72,  165, 181, 209, 215, 94,  146, 42,  172, 86,
    170, 198, 79,  184, 56,  210, 150, 164, 125, 182, 118, 252, 107, 226, 156, 116, 4,   241, 69,  157, 112, 89,
    100, 113, 135, 32,  134, 91,  207, 101, 230, 45,  168, 2,   27,  96,  37,  173, 174, 176, 185, 246, 28,  70,
    97,  105, 52,  64,  126, 15,  85,  71,  163, 35,  221, 81,  175, 58,  195, 92,  249, 206, 186, 197, 234, 38,
    44,  83,  13,  110, 133, 40,  132, 9,   211, 223, 205, 244, 65,  129, 77,  82,  106, 220, 55,  200, 108, 193,
    171, 250, 36,  225, 123, 8,   12,  189, 177, 74,  120, 136, 149, 139, 227, 99,  232, 109, 233, 203, 213, 254,
    59,  0,   29,  57,  242, 239, 183, 14,  102, 88,  208, 228, 166, 119, 114, 248, 235, 117, 75,  10,  49,  68,
    80,  180, 143, 237, 31,  26,  219, 153, 141, 51,  159, 17,  131, 20};

class Gcrypt : public HS_HASH_CTX {
 public:
  explicit Gcrypt(std::initializer_list<int> algorithms) {
    gcry_md_open(&md_, 0, 0);
    for (int a : algorithms) {
      gcry_md_enable(md_, a);
      order_.push_back(a);
    }
  }
  ~Gcrypt() override { gcry_md_close(md_); }
  void Update(const unsigned char* data, size_t length) override { gcry_md_write(md_, data, length); }
  // Several algorithms give their digests one after another (MD5 then SHA-1 for SSL3_SHAMD5).
  Bytes Final() override {
    Bytes out;
    for (int a : order_) {
      const unsigned char* digest = gcry_md_read(md_, a);
      out.insert(out.end(), digest, digest + gcry_md_get_algo_dlen(a));
    }
    return out;
  }

 private:
  gcry_md_hd_t md_ = nullptr;
  std::vector<int> order_;
};

class Cipher : public HS_SYM_CTX {
 public:
  Cipher(gcry_cipher_hd_t handle, size_t block, bool encipher, bool pad)
      : handle_(handle), block_(block), encipher_(encipher), pad_(pad && block > 1) {}
  ~Cipher() override { gcry_cipher_close(handle_); }

  bool Update(const unsigned char* in, size_t length, Bytes& out) override {
    pending_.insert(pending_.end(), in, in + length);
    size_t take = pending_.size() - pending_.size() % block_;
    // Deciphering with padding keeps the last whole block back: it may be the padded one.
    if (!encipher_ && pad_ && take == pending_.size() && take > 0) take -= block_;
    return Run(take, out);
  }

  bool Final(Bytes& out) override {
    if (encipher_ && pad_) {
      const size_t fill = block_ - pending_.size() % block_;
      pending_.insert(pending_.end(), fill, static_cast<unsigned char>(fill));
    }
    if (pending_.size() % block_ != 0) return false;
    const size_t start = out.size();
    if (!Run(pending_.size(), out)) return false;
    if (encipher_ || !pad_) return true;
    if (out.size() == start) return false;
    const unsigned char fill = out.back();
    if (fill == 0 || fill > block_ || out.size() - start < fill) return false;
    for (size_t i = 0; i < fill; ++i) {
      if (out[out.size() - 1 - i] != fill) return false;
    }
    out.resize(out.size() - fill);
    return true;
  }

 private:
  bool Run(size_t length, Bytes& out) {
    if (length == 0) return true;
    const size_t at = out.size();
    out.resize(at + length);
    const gcry_error_t err = encipher_ ? gcry_cipher_encrypt(handle_, &out[at], length, pending_.data(), length)
                                       : gcry_cipher_decrypt(handle_, &out[at], length, pending_.data(), length);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(length));
    if (err != 0) out.resize(at);
    return err == 0;
  }

  gcry_cipher_hd_t handle_;
  size_t block_;
  bool encipher_;
  bool pad_;
  Bytes pending_;
};

}  // namespace

std::unique_ptr<HS_HASH_CTX> HS_HASH_CTX::Create(int algorithm) {
  gea::InitCrypto();
  switch (algorithm) {
    case gea::kAlgMd2:
      return std::make_unique<Md2>();
    case gea::kAlgMd5:
      return std::make_unique<Gcrypt>(std::initializer_list<int>{GCRY_MD_MD5});
    case gea::kAlgSha1:
      return std::make_unique<Gcrypt>(std::initializer_list<int>{GCRY_MD_SHA1});
    case gea::kAlgSslShaMd5:
      return std::make_unique<Gcrypt>(std::initializer_list<int>{GCRY_MD_MD5, GCRY_MD_SHA1});
    default:
      return nullptr;
  }
}

std::unique_ptr<HS_SYM_CTX> HS_SYM_CTX::Create(int algorithm, const unsigned char* key, size_t keyLength,
                                               const unsigned char* iv, int mode, bool encipher, bool pad) {
  gea::InitCrypto();
  int cipher = 0;
  Bytes material(key, key + keyLength);
  bool lengthOk = false;
  switch (algorithm) {
    case gea::kAlgDes:
      cipher = GCRY_CIPHER_DES;
      lengthOk = keyLength == 8;
      break;
    case gea::kAlg3Des:
      cipher = GCRY_CIPHER_3DES;
      lengthOk = keyLength == 24;
      break;
    case gea::kAlg3Des112:
      // Two-key triple DES is three-key with the first key again as the third.
      cipher = GCRY_CIPHER_3DES;
      lengthOk = keyLength == 16;
      if (lengthOk) material.insert(material.end(), key, key + 8);
      break;
    case gea::kAlgRc2:
      cipher = GCRY_CIPHER_RFC2268_128;
      lengthOk = keyLength >= 5 && keyLength <= 128;
      break;
    case gea::kAlgRc4:
      cipher = GCRY_CIPHER_ARCFOUR;
      lengthOk = keyLength >= 5 && keyLength <= 256;
      break;
    case gea::kAlgSsf33:
      cipher = GCRY_CIPHER_SM4;
      lengthOk = keyLength == 16;
      break;
    case gea::kAlgScb2:
      cipher = GCRY_CIPHER_CAMELLIA128;
      lengthOk = keyLength == 16;
      break;
    default:
      return nullptr;
  }
  if (!lengthOk || key == nullptr) return nullptr;
  const bool stream = algorithm == gea::kAlgRc4;
  if (!stream && mode != HS_MODE_CBC && mode != HS_MODE_ECB) return nullptr;
  const int gmode =
      stream ? GCRY_CIPHER_MODE_STREAM : (mode == HS_MODE_CBC ? GCRY_CIPHER_MODE_CBC : GCRY_CIPHER_MODE_ECB);
  gcry_cipher_hd_t handle = nullptr;
  if (gcry_cipher_open(&handle, cipher, gmode, 0) != 0) return nullptr;
  const size_t block = stream ? 1 : gcry_cipher_get_algo_blklen(cipher);
  Bytes zeros(block, 0);
  if (gcry_cipher_setkey(handle, material.data(), material.size()) != 0 ||
      (gmode == GCRY_CIPHER_MODE_CBC && gcry_cipher_setiv(handle, iv != nullptr ? iv : zeros.data(), block) != 0)) {
    gcry_cipher_close(handle);
    return nullptr;
  }
  return std::make_unique<Cipher>(handle, block, encipher, pad);
}
