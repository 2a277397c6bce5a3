#include "rsa_key.h"

#include <gcrypt.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace usbkey {
namespace {

// The Windows entropy gatherer prints "NOTE: you should run 'diskperf -y' ..." at first use;
// libgcrypt's notes are no business of the library's callers.
void DropNotes(void*, int level, const char* format, va_list args) {
  if (level == GCRY_LOG_INFO || level == GCRY_LOG_DEBUG) return;
  std::vfprintf(stderr, format, args);
}

// libgcrypt wants one initialisation per process before any other call; the host program may
// have done it already.
void InitialiseOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) return;
    gcry_set_log_handler(DropNotes, nullptr);
    gcry_check_version(nullptr);
    // A simulated key's secrets need no locked pages, and locking fails for ordinary users.
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
  });
}

gcry_sexp_t AsSexp(void* p) { return static_cast<gcry_sexp_t>(p); }

struct SexpDeleter {
  void operator()(gcry_sexp_t s) const { gcry_sexp_release(s); }
};
using Sexp = std::unique_ptr<gcry_sexp, SexpDeleter>;

struct MpiDeleter {
  void operator()(gcry_mpi_t m) const { gcry_mpi_release(m); }
};
using Mpi = std::unique_ptr<gcry_mpi, MpiDeleter>;

std::string Magnitude(gcry_mpi_t mpi) {
  size_t length = 0;
  if (gcry_mpi_print(GCRYMPI_FMT_USG, nullptr, 0, &length, mpi) != 0) return {};
  std::string out(length, '\0');
  if (length > 0 &&
      gcry_mpi_print(GCRYMPI_FMT_USG, reinterpret_cast<unsigned char*>(&out[0]), length, &length, mpi) != 0) {
    return {};
  }
  out.resize(length);
  return out;
}

// The PKCS#1 v1.5 block for a SHA-256 digest, as libgcrypt takes it.
Sexp HashData(std::string_view message) {
  const std::string digest = Sha256(message);
  gcry_sexp_t data = nullptr;
  if (gcry_sexp_build(&data, nullptr, "(data (flags pkcs1) (hash sha256 %b))", static_cast<int>(digest.size()),
                      digest.data()) != 0) {
    return nullptr;
  }
  return Sexp(data);
}

}  // namespace

std::unique_ptr<RsaKey> RsaKey::Generate() {
  InitialiseOnce();
  gcry_sexp_t parameters = nullptr;
  // transient-key: primes from the strong, not the very strong, generator, which could wait
  // for entropy; enough for a simulated key.
  if (gcry_sexp_build(&parameters, nullptr, "(genkey (rsa (nbits %d) (rsa-use-e 5:65537) (flags transient-key)))",
                      kRsaBits) != 0) {
    return nullptr;
  }
  Sexp holdParameters(parameters);
  gcry_sexp_t key = nullptr;
  if (gcry_pk_genkey(&key, parameters) != 0) return nullptr;
  Sexp holdKey(key);
  Sexp privateKey(gcry_sexp_find_token(key, "private-key", 0));
  if (!privateKey) return nullptr;
  return std::unique_ptr<RsaKey>(new RsaKey(privateKey.release()));
}

std::unique_ptr<RsaKey> RsaKey::FromCanonical(std::string_view canonical) {
  InitialiseOnce();
  if (canonical.empty() || gcry_sexp_canon_len(reinterpret_cast<const unsigned char*>(canonical.data()),
                                               canonical.size(), nullptr, nullptr) != canonical.size()) {
    return nullptr;
  }
  gcry_sexp_t sexp = nullptr;
  if (gcry_sexp_new(&sexp, canonical.data(), canonical.size(), 0) != 0) return nullptr;
  Sexp hold(sexp);
  std::unique_ptr<RsaKey> key(new RsaKey(hold.release()));
  // Only a whole RSA key pair of the right size will do.
  if (gcry_pk_get_nbits(AsSexp(key->sexp_)) != kRsaBits || gcry_pk_testkey(AsSexp(key->sexp_)) != 0) return nullptr;
  return key;
}

RsaKey::~RsaKey() { gcry_sexp_release(AsSexp(sexp_)); }

std::string RsaKey::Canonical() const {
  const size_t length = gcry_sexp_sprint(AsSexp(sexp_), GCRYSEXP_FMT_CANON, nullptr, 0);
  std::string out(length, '\0');
  const size_t written = gcry_sexp_sprint(AsSexp(sexp_), GCRYSEXP_FMT_CANON, &out[0], length);
  out.resize(written);
  return out;
}

std::string RsaKey::Parameter(const char* name) const {
  gcry_mpi_t value = nullptr;
  const std::string parameter(name);
  if (gcry_sexp_extract_param(AsSexp(sexp_), nullptr, parameter.c_str(), &value, nullptr) != 0) return {};
  Mpi hold(value);
  return Magnitude(value);
}

std::string RsaKey::Modulus() const { return Parameter("n"); }

std::string RsaKey::PublicExponent() const { return Parameter("e"); }

std::string RsaKey::SignSha256(std::string_view message) const {
  Sexp data = HashData(message);
  gcry_sexp_t signature = nullptr;
  if (!data || gcry_pk_sign(&signature, data.get(), AsSexp(sexp_)) != 0) return {};
  Sexp holdSignature(signature);
  gcry_mpi_t s = nullptr;
  if (gcry_sexp_extract_param(signature, "sig-val!rsa", "s", &s, nullptr) != 0) return {};
  Mpi holdS(s);
  const std::string magnitude = Magnitude(s);
  if (magnitude.size() > kSignatureBytes) return {};
  // Signatures are exactly as long as the modulus, leading zero bytes included.
  return std::string(kSignatureBytes - magnitude.size(), '\0') + magnitude;
}

bool RsaKey::VerifySha256(std::string_view message, std::string_view signature) const {
  Sexp data = HashData(message);
  gcry_sexp_t sig = nullptr;
  if (!data || gcry_sexp_build(&sig, nullptr, "(sig-val (rsa (s %b)))", static_cast<int>(signature.size()),
                               signature.data()) != 0) {
    return false;
  }
  Sexp holdSig(sig);
  return gcry_pk_verify(sig, data.get(), AsSexp(sexp_)) == 0;
}

std::string Sha256(std::string_view data) {
  InitialiseOnce();
  std::string digest(kSha256Bytes, '\0');
  gcry_md_hash_buffer(GCRY_MD_SHA256, &digest[0], data.data(), data.size());
  return digest;
}

std::string RandomBytes(size_t count) {
  InitialiseOnce();
  std::string out(count, '\0');
  if (count > 0) gcry_randomize(&out[0], count, GCRY_STRONG_RANDOM);
  return out;
}

}  // namespace usbkey
