// The key library's functions that work in software, without a key: hashes, ciphers, public-key
// operations, its settings, and the OpenSSL-like objects.
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "exports_shared.h"
#include "platform/export.h"
#include "soft.h"

using namespace gea::api;

namespace {

// A stand-in object of gea.h's OpenSSL-like layer.
void FreeNumber(HS_BIGNUM*& n) {
  delete n;
  n = nullptr;
}

}  // namespace

TW_EXPORT int TW_STDCALL HSSHA1(const unsigned char* data, int length, unsigned char digest[20]) {
  Sim().Enter("HSSHA1");
  if (!Readable(data, length) || digest == nullptr) return Err(HS_ERR_PARAM);
  auto hash = HS_HASH_CTX::Create(gea::kAlgSha1);
  hash->Update(data, static_cast<size_t>(length));
  const Bytes out = hash->Final();
  std::memcpy(digest, out.data(), out.size());
  return HS_OK;
}

TW_EXPORT int TW_STDCALL HSHashInit(int algorithm, HS_HASH_CTX** context) {
  Sim().Enter("HSHashInit");
  if (context == nullptr) return Err(HS_ERR_PARAM);
  *context = HS_HASH_CTX::Create(algorithm).release();
  return *context != nullptr ? HS_OK : Err(HS_ERR_ALGORITHM);
}

TW_EXPORT int TW_STDCALL HSHashUpdate(HS_HASH_CTX* context, const unsigned char* data, int length) {
  Sim().Enter("HSHashUpdate");
  if (context == nullptr || !Readable(data, length)) return Err(HS_ERR_PARAM);
  context->Update(data, static_cast<size_t>(length));
  return HS_OK;
}

TW_EXPORT int TW_STDCALL HSHashFinal(HS_HASH_CTX* context, unsigned char* digest, int* size) {
  Sim().Enter("HSHashFinal");
  if (context == nullptr) return Err(HS_ERR_PARAM);
  std::unique_ptr<HS_HASH_CTX> owned(context);
  if (digest == nullptr && size == nullptr) return HS_OK;
  return PutBytes(owned->Final(), digest, size);
}

TW_EXPORT int TW_STDCALL HSHashPadding(int algorithm, const unsigned char* digest, int length, int keyBits,
                                       unsigned char* block, int* size) {
  Sim().Enter("HSHashPadding");
  if (!Readable(digest, length) || keyBits <= 0 || keyBits % 8 != 0) return Err(HS_ERR_PARAM);
  Bytes info;
  if (algorithm != 0) {
    const size_t expected = gea::DigestLength(algorithm);
    if (expected == 0) return Err(HS_ERR_ALGORITHM);
    if (static_cast<size_t>(length) != expected) return Err(HS_ERR_DATA);
    if (const auto prefix = gea::DigestInfoPrefix(algorithm)) info = *prefix;
  }
  info.insert(info.end(), digest, digest + length);
  const auto padded = gea::PadType1(info.data(), info.size(), static_cast<size_t>(keyBits / 8));
  return padded ? PutBytes(*padded, block, size) : Err(HS_ERR_DATA);
}

TW_EXPORT int TW_STDCALL HSSymInit(int algorithm, const unsigned char* key, int keyLength, const unsigned char* iv,
                                   int mode, int encipher, int pad, HS_SYM_CTX** context) {
  Sim().Enter("HSSymInit");
  if (context == nullptr || key == nullptr || keyLength <= 0) return Err(HS_ERR_PARAM);
  *context =
      HS_SYM_CTX::Create(algorithm, key, static_cast<size_t>(keyLength), iv, mode, encipher != 0, pad != 0).release();
  return *context != nullptr ? HS_OK : Err(HS_ERR_ALGORITHM);
}

TW_EXPORT int TW_STDCALL HSSymUpdate(HS_SYM_CTX* context, const unsigned char* in, int length, unsigned char* out,
                                     int* size) {
  Sim().Enter("HSSymUpdate");
  if (context == nullptr || !Readable(in, length) || size == nullptr) return Err(HS_ERR_PARAM);
  Bytes result;
  if (!context->Update(in, static_cast<size_t>(length), result)) return Err(HS_ERR_DATA);
  return PutBytes(result, out, size);
}

TW_EXPORT int TW_STDCALL HSSymFinal(HS_SYM_CTX* context, unsigned char* out, int* size) {
  Sim().Enter("HSSymFinal");
  if (context == nullptr) return Err(HS_ERR_PARAM);
  std::unique_ptr<HS_SYM_CTX> owned(context);
  Bytes result;
  if (!owned->Final(result)) return Err(HS_ERR_DATA);
  if (result.empty() && size != nullptr && out == nullptr) {
    *size = 0;
    return HS_OK;
  }
  return PutBytes(result, out, size);
}

TW_EXPORT int TW_STDCALL HSRSAEncryptSoft(const HS_RSA* publicKey, const unsigned char* in, int length,
                                          unsigned char* out, int* size) {
  Sim().Enter("HSRSAEncryptSoft");
  if (publicKey == nullptr || !Readable(in, length)) return Err(HS_ERR_PARAM);
  const gea::RsaKey key = gea::FromRsa(*publicKey);
  const auto block = gea::PadType2(in, static_cast<size_t>(length), key.n.size());
  const auto result = block ? gea::RsaPublic(key, block->data(), block->size()) : std::nullopt;
  return result ? PutBytes(*result, out, size) : Err(HS_ERR_DATA);
}

TW_EXPORT int TW_STDCALL HSRSAVerifySoft(const HS_RSA* publicKey, const unsigned char* signature, int length,
                                         unsigned char* block, int* size) {
  Sim().Enter("HSRSAVerifySoft");
  if (publicKey == nullptr || !Readable(signature, length)) return Err(HS_ERR_PARAM);
  const auto opened = gea::RsaPublic(gea::FromRsa(*publicKey), signature, static_cast<size_t>(length));
  const auto data = opened ? gea::UnpadType1(*opened) : std::nullopt;
  return data ? PutBytes(*data, block, size) : Err(HS_ERR_DATA);
}

TW_EXPORT int TW_STDCALL HSGetConfigValueString(const char* name, char* value, int* size) {
  Sim().Enter("HSGetConfigValueString");
  static const std::map<std::string, std::string> config = {
      {"RSAKeyBits", "2048"}, {"MaxContainers", "8"}, {"Version", "1.0.0"}};
  if (name == nullptr) return Err(HS_ERR_PARAM);
  const auto it = config.find(name);
  return it != config.end() ? PutText(it->second, value, size) : Err(HS_ERR_NOT_SUPPORTED);
}

// ---- The OpenSSL-like objects

TW_EXPORT HS_RSA* TW_STDCALL HS_RSA_new(void) { return new HS_RSA{}; }

TW_EXPORT void TW_STDCALL HS_RSA_free(HS_RSA* rsa) {
  if (rsa == nullptr) return;
  for (HS_BIGNUM** n : {&rsa->n, &rsa->e, &rsa->d, &rsa->p, &rsa->q, &rsa->dmp1, &rsa->dmq1, &rsa->iqmp}) {
    if (*n != nullptr) std::fill((*n)->bytes.begin(), (*n)->bytes.end(), 0);
    FreeNumber(*n);
  }
  delete rsa;
}

TW_EXPORT HS_BIGNUM* TW_STDCALL HS_BN_new(void) { return new HS_BIGNUM{}; }

TW_EXPORT HS_BIGNUM* TW_STDCALL HS_BN_bin2bn(const unsigned char* bytes, int length, HS_BIGNUM* reuse) {
  if (!Readable(bytes, length)) return nullptr;
  HS_BIGNUM* n = reuse != nullptr ? reuse : new HS_BIGNUM{};
  n->bytes = gea::Trimmed(Bytes(bytes, bytes + length));
  return n;
}

TW_EXPORT int TW_STDCALL HS_BN_bn2bin(const HS_BIGNUM* number, unsigned char* to) {
  if (number == nullptr) return 0;
  if (to != nullptr && !number->bytes.empty()) std::memcpy(to, number->bytes.data(), number->bytes.size());
  return static_cast<int>(number->bytes.size());
}

TW_EXPORT int TW_STDCALL HS_BN_num_bytes(const HS_BIGNUM* number) {
  return number != nullptr ? static_cast<int>(number->bytes.size()) : 0;
}

TW_EXPORT unsigned long TW_STDCALL HS_BN_get_word(const HS_BIGNUM* number) {
  if (number == nullptr) return 0;
  if (number->bytes.size() > sizeof(unsigned long)) return ~0UL;
  unsigned long word = 0;
  for (unsigned char b : number->bytes) word = (word << 8) | b;
  return word;
}

TW_EXPORT int TW_STDCALL HS_BN_set_word(HS_BIGNUM* number, unsigned long word) {
  if (number == nullptr) return 0;
  Bytes bytes;
  for (; word != 0; word >>= 8) bytes.insert(bytes.begin(), static_cast<unsigned char>(word & 0xFF));
  number->bytes = bytes;
  return 1;
}

TW_EXPORT HS_RSA* TW_STDCALL HS_d2i_RSAPublicKey(HS_RSA** out, const unsigned char** in, long length) {
  if (in == nullptr || *in == nullptr || length <= 0) return nullptr;
  size_t used = 0;
  const auto key = gea::DecodePublicKey(*in, static_cast<size_t>(length), &used);
  if (!key) return nullptr;
  *in += used;
  HS_RSA* rsa = gea::NewRsa(*key);
  if (out != nullptr) {
    HS_RSA_free(*out);
    *out = rsa;
  }
  return rsa;
}

TW_EXPORT int TW_STDCALL HS_i2d_RSAPrivateKey(const HS_RSA* rsa, unsigned char** out) {
  if (rsa == nullptr) return -1;
  const gea::RsaKey key = gea::FromRsa(*rsa);
  if (!key.HasPrivate()) return -1;
  Bytes der = gea::EncodePrivateKey(key);
  if (out != nullptr && *out != nullptr) {
    std::memcpy(*out, der.data(), der.size());
    *out += der.size();
  }
  std::fill(der.begin(), der.end(), 0);
  return static_cast<int>(der.size());
}

TW_EXPORT void TW_STDCALL HS_X509_SIG_free(HS_X509_SIG* sig) {
  if (sig == nullptr) return;
  if (sig->algorithm != nullptr) delete[] sig->algorithm->data;
  if (sig->digest != nullptr) delete[] sig->digest->data;
  delete sig->algorithm;
  delete sig->digest;
  delete sig;
}

TW_EXPORT HS_X509_SIG* TW_STDCALL HS_d2i_X509_SIG(HS_X509_SIG** out, const unsigned char** in, long length) {
  if (in == nullptr || *in == nullptr || length <= 0) return nullptr;
  size_t used = 0;
  const auto info = gea::DecodeDigestInfo(*in, static_cast<size_t>(length), &used);
  if (!info) return nullptr;
  *in += used;
  auto copy = [](const Bytes& b) {
    auto* data = new unsigned char[b.size() + 1];
    std::copy(b.begin(), b.end(), data);
    return data;
  };
  auto* sig = new HS_X509_SIG{new HS_ASN1_OBJECT{static_cast<int>(info->oid.size()), copy(info->oid)},
                              new HS_ASN1_STRING{static_cast<int>(info->digest.size()), copy(info->digest)}};
  if (out != nullptr) {
    HS_X509_SIG_free(*out);
    *out = sig;
  }
  return sig;
}

TW_EXPORT int TW_STDCALL HS_OBJ_obj2nid(const HS_ASN1_OBJECT* object) {
  if (object == nullptr || object->data == nullptr || object->length <= 0) return HS_NID_UNDEF;
  return gea::NidOfOid(Bytes(object->data, object->data + object->length));
}
