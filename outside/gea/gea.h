/* The USB-key library the cryptographic provider binds by name ("GEA00001.dll", in Chinese
 * systems "GEA20135.dll"). It reaches keys in readers: transactions, eight containers per key
 * with an RSA key pair and a certificate per kind, the user PIN with its retry counter, the
 * key's verification category and its fingerprint unit; and it hashes, enciphers and does RSA
 * public-key operations in software, with a small OpenSSL-like object layer (HS_RSA,
 * HS_BIGNUM, HS_X509_SIG).
 *
 * Conventions: every int function returns HS_OK (0) or an error below (or, from the
 * fingerprint functions, the unit's status word). Sizes travel as int* "in: room, out: bytes
 * written"; with a null buffer or too little room the function answers HS_ERR_BUFFER and sets
 * the size needed. Key kinds are HS_KEY_EXCHANGE and HS_KEY_SIGNATURE; algorithm numbers are
 * the CryptoAPI ALG_ID values. Big numbers are big-endian. All functions are thread-safe; a
 * transaction on a key makes other threads' transactions on it wait. */
#ifndef GEA_H
#define GEA_H

#if defined(_WIN32)
#define HSAPI __stdcall
#else
#define HSAPI
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef void* HS_HANDLE; /* a connected key */

#define HS_OK 0
#define HS_ERR_PARAM 0x88000001         /* a null or out-of-range argument */
#define HS_ERR_BUFFER 0x88000002        /* no room: the size needed was set */
#define HS_ERR_NO_DEVICE 0x88000003     /* no such reader, or no key in it */
#define HS_ERR_HANDLE 0x88000004        /* not a connected key (or it was removed) */
#define HS_ERR_MEMORY 0x88000005        /* out of memory */
#define HS_ERR_TRANSACTION 0x88000006   /* ending a transaction this thread does not hold */
#define HS_ERR_ALGORITHM 0x88000007     /* algorithm or key size not supported */
#define HS_ERR_NOT_LOGGED_IN 0x88000036 /* the operation needs the user PIN verified first */
#define HS_ERR_PIN_WRONG 0x8800003D     /* wrong PIN; the retries left were set */
#define HS_ERR_PIN_LOCKED 0x8800003E    /* no retries left */
#define HS_ERR_NO_CONTAINER 0x88000068  /* no container at that place or of that name */
#define HS_ERR_CONTAINER_EXISTS 0x88000069
#define HS_ERR_CONTAINERS_FULL 0x8800006A /* all eight places are taken */
#define HS_ERR_NO_KEY 0x8800006B          /* the container holds no key pair of that kind */
#define HS_ERR_NO_CERT 0x8800006C         /* nor a certificate */
#define HS_ERR_DATA 0x8800006D            /* malformed input: DER, padding, length */
#define HS_ERR_STORE 0x8800006E           /* the key's memory could not be written */
#define HS_ERR_NOT_SUPPORTED 0x8800006F   /* the key has no such function */

#define HS_FP_NO_FINGER 0x6955 /* no finger on the sensor yet */
#define HS_FP_MISMATCH 0x6300  /* the finger did not match */
#define HS_FP_NOT_ENROLLED 0x6A88

#define HS_STATE_PRESENT 32 /* HSGetDevState: a key is in the reader */
#define HS_STATE_EMPTY 16

#define HS_CATEGORY_PIN 1
#define HS_CATEGORY_FINGERPRINT 4

#define HS_KEY_EXCHANGE 1
#define HS_KEY_SIGNATURE 2

#define HS_MAX_CONTAINERS 8
#define HS_MAX_CONTAINER_NAME 64 /* characters, without the terminator */
#define HS_MAX_PIN 32
#define HS_CACHED_PIN_SIZE 64

/* The record HSReadCachedPin and HSWriteCachedPin keep per key for the process: byte 0 holds
 * the flags, byte 1 the PIN's length, the PIN follows. */
#define HS_CACHE_PIN 0x01
#define HS_CACHE_FINGERPRINT 0x02

/* OpenSSL-like objects. Numbers own their bytes; an HS_RSA owns its numbers. */
typedef struct HS_BIGNUM HS_BIGNUM;
typedef struct HS_RSA {
  HS_BIGNUM* n;
  HS_BIGNUM* e;
  HS_BIGNUM* d; /* the private parts may be null */
  HS_BIGNUM* p;
  HS_BIGNUM* q;
  HS_BIGNUM* dmp1;
  HS_BIGNUM* dmq1;
  HS_BIGNUM* iqmp;
} HS_RSA;
typedef struct HS_ASN1_OBJECT {
  int length;
  unsigned char* data; /* the OID's content octets */
} HS_ASN1_OBJECT;
typedef struct HS_ASN1_STRING {
  int length;
  unsigned char* data;
} HS_ASN1_STRING;
typedef struct HS_X509_SIG { /* a PKCS #1 DigestInfo */
  HS_ASN1_OBJECT* algorithm;
  HS_ASN1_STRING* digest;
} HS_X509_SIG;

#define HS_NID_UNDEF 0
#define HS_NID_MD2 3
#define HS_NID_MD5 4
#define HS_NID_SHA1 64

typedef struct HS_HASH_CTX HS_HASH_CTX;
typedef struct HS_SYM_CTX HS_SYM_CTX;

/* Called on the thread that noticed the change, with HS_STATE_PRESENT or HS_STATE_EMPTY. */
typedef void(HSAPI* HS_DEV_CHANGE)(const char* reader, int state, void* context);

/* Readers and keys. */
int HSAPI HSListReaders(char* names, int* size); /* names one after another, each NUL-ended, then a NUL */
int HSAPI HSGetDevState(const char* reader, int* state);
int HSAPI HSSetDevChgEvent(const char* reader, HS_DEV_CHANGE callback, void* context); /* null callback: none */
int HSAPI HSConnectDev(const char* reader, HS_HANDLE* key);
int HSAPI HSDisconnectDev(HS_HANDLE key);
int HSAPI HSBeginTransaction(HS_HANDLE key); /* nests on one thread */
int HSAPI HSEndTransaction(HS_HANDLE key);
int HSAPI HSGetSerial(HS_HANDLE key, unsigned char serial[8]);
int HSAPI HSReadLabel(HS_HANDLE key, char* label, int* size);
int HSAPI HSGetHWApp(HS_HANDLE key, char* application, int* size);
int HSAPI HSReadPCODE(HS_HANDLE key, char* code, int* size);
int HSAPI HSGetCategory(HS_HANDLE key, int* category);

/* Containers: places 0 to 7. HSGetContainerNum sets 8 when no container has the name. */
int HSAPI HSGetContainerName(HS_HANDLE key, int index, char* name, int* size);
int HSAPI HSGetContainerNum(HS_HANDLE key, const char* name, int* index);
int HSAPI HSCreateContainer(HS_HANDLE key, const char* name, int* index);
int HSAPI HSDelContainer(HS_HANDLE key, const char* name);

/* The user: PIN, the process's cache, fingerprint. */
int HSAPI HSVerifyUserPin(HS_HANDLE key, const char* pin, int* retriesLeft);
int HSAPI HSClearPin(HS_HANDLE key); /* logs out and empties the cache */
int HSAPI HSReadCachedPin(HS_HANDLE key, unsigned char record[HS_CACHED_PIN_SIZE]);
int HSAPI HSWriteCachedPin(HS_HANDLE key, const unsigned char record[HS_CACHED_PIN_SIZE]);
int HSAPI HSFingerprintQuery(HS_HANDLE key, int* state); /* state 0: ready */
int HSAPI HSFingerprintVerify(HS_HANDLE key, int mode);  /* mode 1 or 2; HS_FP_NO_FINGER, HS_FP_MISMATCH */

/* Key pairs and certificates in a container; private operations need the user verified. */
int HSAPI HSGenRSA(HS_HANDLE key, int container, int kind, int bits);
int HSAPI HSGenRSAEx(HS_HANDLE key, int container, int kind, int bits, unsigned char* publicKey, int* size);
int HSAPI HSImportRSA(HS_HANDLE key, int container, int kind, const HS_RSA* pair);
int HSAPI HSImportRSAEx(HS_HANDLE key, int container, int kind, const unsigned char* privateKey, int length);
/* A PKCS #1 private key enciphered under `sessionKey` with SSF33 in ECB mode (PKCS #7 padding). */
int HSAPI HS33ImprotRSA(HS_HANDLE key, int container, int kind, const unsigned char sessionKey[16],
                        const unsigned char* enciphered, int length);
int HSAPI HSExportRSAPubKey(HS_HANDLE key, int container, int kind, unsigned char* publicKey, int* size);
int HSAPI HSRSASign(HS_HANDLE key, int container, int kind, const unsigned char* block, int length,
                    unsigned char* signature, int* size); /* the private operation on a padded block */
int HSAPI HSRSASignBD(HS_HANDLE key, int container, int kind, const unsigned char* block, int length,
                      unsigned char* signature, int* size); /* the same, once the holder confirmed on the key */
int HSAPI HSRSAVerify(HS_HANDLE key, int container, int kind, const unsigned char* signature, int length,
                      unsigned char* block, int* size); /* public operation, type 1 padding removed */
int HSAPI HSRSADecrypt(HS_HANDLE key, int container, int kind, const unsigned char* in, int length, unsigned char* out,
                       int* size); /* private operation, type 2 padding removed */
int HSAPI HSReadCert(HS_HANDLE key, int container, int kind, unsigned char* certificate, int* size);
int HSAPI HSWriteCert(HS_HANDLE key, int container, int kind, const unsigned char* certificate, int length);
/* Adds the key's certificates to the user's personal store, tied to `provider` and the
 * containers. `added` (may be null) counts them. */
int HSAPI HSRegistCertByHandle(HS_HANDLE key, const char* provider, int* added);
int HSAPI HSRegistCertByReaderName(const char* reader, const char* provider, int* added);

/* The key's own display: text shown, then a signature the holder confirmed. */
int HSAPI HSWriteCharacter(HS_HANDLE key, const char* text);
int HSAPI BH_ShowData(HS_HANDLE key, const unsigned char* data, int length);
int HSAPI BH_GetSignature(HS_HANDLE key, unsigned char* signature, int* size);

/* The key's own ciphers (16-byte key; data a multiple of 16 bytes, `out` as long). */
int HSAPI HSSymSessionEcb(HS_HANDLE key, const unsigned char sessionKey[16], int encipher, const unsigned char* in,
                          int length, unsigned char* out); /* SSF33 */
int HSAPI HSSCB2Cbc(HS_HANDLE key, const unsigned char sessionKey[16], unsigned char iv[16], int encipher,
                    const unsigned char* in, int length, unsigned char* out); /* SCB2; iv is updated */

/* Software: randomness, hashes, ciphers, RSA public operations, configuration. */
int HSAPI HSGenRandom(HS_HANDLE key, unsigned char* out, int length); /* key may be null */
int HSAPI HSSHA1(const unsigned char* data, int length, unsigned char digest[20]);
int HSAPI HSHashInit(int algorithm, HS_HASH_CTX** context);
int HSAPI HSHashUpdate(HS_HASH_CTX* context, const unsigned char* data, int length);
/* Ends and frees the context; with a null digest it only frees. */
int HSAPI HSHashFinal(HS_HASH_CTX* context, unsigned char* digest, int* size);
/* The EMSA-PKCS1-v1_5 block of keyBits/8 bytes for a digest; algorithm 0 pads the digest as it
 * is, without the algorithm's identifier. */
int HSAPI HSHashPadding(int algorithm, const unsigned char* digest, int length, int keyBits, unsigned char* block,
                        int* size);
/* Block ciphers run in CBC (mode 1) or ECB (mode 2) with PKCS #7 padding when `pad` is set;
 * RC4 is a stream. `iv` may be null (zeros). */
#define HS_MODE_CBC 1
#define HS_MODE_ECB 2
int HSAPI HSSymInit(int algorithm, const unsigned char* key, int keyLength, const unsigned char* iv, int mode,
                    int encipher, int pad, HS_SYM_CTX** context);
int HSAPI HSSymUpdate(HS_SYM_CTX* context, const unsigned char* in, int length, unsigned char* out, int* size);
int HSAPI HSSymFinal(HS_SYM_CTX* context, unsigned char* out, int* size); /* frees the context */
int HSAPI HSRSAEncryptSoft(const HS_RSA* publicKey, const unsigned char* in, int length, unsigned char* out,
                           int* size); /* type 2 padding */
int HSAPI HSRSAVerifySoft(const HS_RSA* publicKey, const unsigned char* signature, int length, unsigned char* block,
                          int* size); /* type 1 padding removed */
int HSAPI HSGetConfigValueString(const char* name, char* value, int* size);

HS_RSA* HSAPI HS_RSA_new(void);
void HSAPI HS_RSA_free(HS_RSA* rsa);
HS_BIGNUM* HSAPI HS_BN_new(void);
HS_BIGNUM* HSAPI HS_BN_bin2bn(const unsigned char* bytes, int length, HS_BIGNUM* reuse);
int HSAPI HS_BN_bn2bin(const HS_BIGNUM* number, unsigned char* to);
int HSAPI HS_BN_num_bytes(const HS_BIGNUM* number);
unsigned long HSAPI HS_BN_get_word(const HS_BIGNUM* number); /* all ones when it does not fit */
int HSAPI HS_BN_set_word(HS_BIGNUM* number, unsigned long word);
HS_RSA* HSAPI HS_d2i_RSAPublicKey(HS_RSA** out, const unsigned char** in, long length);
int HSAPI HS_i2d_RSAPrivateKey(const HS_RSA* rsa, unsigned char** out);
HS_X509_SIG* HSAPI HS_d2i_X509_SIG(HS_X509_SIG** out, const unsigned char** in, long length);
void HSAPI HS_X509_SIG_free(HS_X509_SIG* sig);
int HSAPI HS_OBJ_obj2nid(const HS_ASN1_OBJECT* object);

#ifdef __cplusplus
}
#endif

#endif /* GEA_H */
