/* MVCSP, the Morvel cryptographic service provider: a 64-bit module for the Windows CryptoAPI
 * that puts a USB key behind the provider interface. CryptoAPI (advapi32) calls it under the
 * standard names (CPAcquireContext ... CPVerifySignature) once DllRegisterServer has registered
 * it as "Morvel Cryptographic Service Provider", type PROV_RSA_FULL; the same functions are
 * exported under the prefix Rel. Each returns TRUE (1) or FALSE (0) and leaves the result in
 * the thread's last error (0 on success). This header declares them with types of fixed size,
 * so that it stands without <windows.h>; the arguments are those of the provider interface. */
#ifndef MVCSP_H
#define MVCSP_H

#include <stdint.h>

#if defined(_WIN32)
#define MVCSP_CALL __stdcall
#else
#define MVCSP_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t MV_BOOL;
typedef uint32_t MV_DWORD;
typedef uint32_t MV_ALG_ID;
typedef uintptr_t MV_HANDLE; /* HCRYPTPROV, HCRYPTKEY, HCRYPTHASH */

/* VTableProvStruc: what CryptoAPI hands the provider at acquire. */
typedef struct MV_VTABLE_PROV {
  MV_DWORD Version;
  void* FuncVerifyImage;
  void(MVCSP_CALL* FuncReturnhWnd)(void** window);
  MV_DWORD dwProvType;
  unsigned char* pbContextInfo;
  MV_DWORD cbContextInfo;
  char* pszProvName;
} MV_VTABLE_PROV;

MV_BOOL MVCSP_CALL RelAcquireContext(MV_HANDLE* prov, const char* container, MV_DWORD flags,
                                     const MV_VTABLE_PROV* vtable);
MV_BOOL MVCSP_CALL RelReleaseContext(MV_HANDLE prov, MV_DWORD flags);
MV_BOOL MVCSP_CALL RelGenKey(MV_HANDLE prov, MV_ALG_ID alg, MV_DWORD flags, MV_HANDLE* key);
MV_BOOL MVCSP_CALL RelDeriveKey(MV_HANDLE prov, MV_ALG_ID alg, MV_HANDLE hash, MV_DWORD flags, MV_HANDLE* key);
MV_BOOL MVCSP_CALL RelDestroyKey(MV_HANDLE prov, MV_HANDLE key);
MV_BOOL MVCSP_CALL RelSetKeyParam(MV_HANDLE prov, MV_HANDLE key, MV_DWORD param, const unsigned char* data,
                                  MV_DWORD flags);
MV_BOOL MVCSP_CALL RelGetKeyParam(MV_HANDLE prov, MV_HANDLE key, MV_DWORD param, unsigned char* data, MV_DWORD* length,
                                  MV_DWORD flags);
MV_BOOL MVCSP_CALL RelSetProvParam(MV_HANDLE prov, MV_DWORD param, const unsigned char* data, MV_DWORD flags);
MV_BOOL MVCSP_CALL RelGetProvParam(MV_HANDLE prov, MV_DWORD param, unsigned char* data, MV_DWORD* length,
                                   MV_DWORD flags);
MV_BOOL MVCSP_CALL RelSetHashParam(MV_HANDLE prov, MV_HANDLE hash, MV_DWORD param, const unsigned char* data,
                                   MV_DWORD flags);
MV_BOOL MVCSP_CALL RelGetHashParam(MV_HANDLE prov, MV_HANDLE hash, MV_DWORD param, unsigned char* data,
                                   MV_DWORD* length, MV_DWORD flags);
MV_BOOL MVCSP_CALL RelExportKey(MV_HANDLE prov, MV_HANDLE key, MV_HANDLE pubKey, MV_DWORD blobType, MV_DWORD flags,
                                unsigned char* data, MV_DWORD* length);
MV_BOOL MVCSP_CALL RelImportKey(MV_HANDLE prov, const unsigned char* data, MV_DWORD length, MV_HANDLE pubKey,
                                MV_DWORD flags, MV_HANDLE* key);
MV_BOOL MVCSP_CALL RelEncrypt(MV_HANDLE prov, MV_HANDLE key, MV_HANDLE hash, MV_BOOL final, MV_DWORD flags,
                              unsigned char* data, MV_DWORD* length, MV_DWORD bufferLength);
MV_BOOL MVCSP_CALL RelDecrypt(MV_HANDLE prov, MV_HANDLE key, MV_HANDLE hash, MV_BOOL final, MV_DWORD flags,
                              unsigned char* data, MV_DWORD* length);
MV_BOOL MVCSP_CALL RelCreateHash(MV_HANDLE prov, MV_ALG_ID alg, MV_HANDLE key, MV_DWORD flags, MV_HANDLE* hash);
MV_BOOL MVCSP_CALL RelHashData(MV_HANDLE prov, MV_HANDLE hash, const unsigned char* data, MV_DWORD length,
                               MV_DWORD flags);
MV_BOOL MVCSP_CALL RelHashSessionKey(MV_HANDLE prov, MV_HANDLE hash, MV_HANDLE key, MV_DWORD flags);
MV_BOOL MVCSP_CALL RelSignHash(MV_HANDLE prov, MV_HANDLE hash, MV_DWORD keySpec, const void* description,
                               MV_DWORD flags, unsigned char* signature, MV_DWORD* length);
MV_BOOL MVCSP_CALL RelDestroyHash(MV_HANDLE prov, MV_HANDLE hash);
MV_BOOL MVCSP_CALL RelVerifySignature(MV_HANDLE prov, MV_HANDLE hash, const unsigned char* signature, MV_DWORD length,
                                      MV_HANDLE pubKey, const void* description, MV_DWORD flags);
MV_BOOL MVCSP_CALL RelGenRandom(MV_HANDLE prov, MV_DWORD length, unsigned char* buffer);
MV_BOOL MVCSP_CALL RelGetUserKey(MV_HANDLE prov, MV_DWORD keySpec, MV_HANDLE* key);
MV_BOOL MVCSP_CALL RelDuplicateHash(MV_HANDLE prov, MV_HANDLE hash, MV_DWORD* reserved, MV_DWORD flags,
                                    MV_HANDLE* duplicate);
MV_BOOL MVCSP_CALL RelDuplicateKey(MV_HANDLE prov, MV_HANDLE key, MV_DWORD* reserved, MV_DWORD flags,
                                   MV_HANDLE* duplicate);

/* Registration with CryptoAPI (HKLM): 0 (S_OK) or SELFREG_E_CLASS (0x80040201). */
int32_t MVCSP_CALL DllRegisterServer(void);
int32_t MVCSP_CALL DllUnregisterServer(void);

#ifdef __cplusplus
}
#endif

#endif /* MVCSP_H */
