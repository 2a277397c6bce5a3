// Figures of the cryptographic provider under 64-bit Wine, through advapi32 as applications
// call it: RSA-2048 signing of a SHA-1 hash next to Wine's rsaenh in the same run, and
// CryptAcquireContext plus CryptReleaseContext. A tool run by hand (bench/README.md).
//   csp_bench.exe [ITERATIONS]
#include <windows.h>
// after windows.h, which it needs
#include <wincrypt.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const wchar_t kProvider[] = L"Morvel Cryptographic Service Provider";
const wchar_t kRsaenhContainer[] = L"tarnwick-csp-bench";

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Stats {
  double median, p90, max;
};

Stats Summarise(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {v[v.size() / 2], v[v.size() * 9 / 10], v.back()};
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "csp_bench: %s failed: 0x%08lx\n", what, GetLastError());
  std::exit(1);
}

std::wstring Folder() {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring p(path);
  return p.substr(0, p.find_last_of(L"\\/"));
}

// The module beside the bench registers itself (what regsvr32 does).
void Register(const char* entry) {
  HMODULE module = LoadLibraryW((Folder() + L"\\MVCSP.dll").c_str());
  if (module == nullptr) Fail("LoadLibrary MVCSP.dll");
  using Fn = HRESULT(WINAPI*)();
  auto fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, entry)));
  if (fn == nullptr || fn() != S_OK) Fail(entry);
  FreeLibrary(module);
}

double SignOnce(HCRYPTPROV prov) {
  static const BYTE data[32] = {1, 2, 3, 4, 5, 6, 7, 8};
  BYTE signature[256];
  DWORD size = sizeof signature;
  HCRYPTHASH hash = 0;
  const auto start = Clock::now();
  if (!CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash)) Fail("CryptCreateHash");
  if (!CryptHashData(hash, data, sizeof data, 0)) Fail("CryptHashData");
  if (!CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, signature, &size)) Fail("CryptSignHash");
  CryptDestroyHash(hash);
  const double ms = Ms(Clock::now() - start);
  if (size != 256) Fail("a 2048-bit signature");
  return ms;
}

// A container with a 2048-bit signature key: made, or found from an earlier run.
HCRYPTPROV Keyed(const wchar_t* container, const wchar_t* provider) {
  HCRYPTPROV prov = 0;
  if (!CryptAcquireContextW(&prov, container, provider, PROV_RSA_FULL, 0) &&
      !CryptAcquireContextW(&prov, container, provider, PROV_RSA_FULL, CRYPT_NEWKEYSET)) {
    Fail("CryptAcquireContext (keyed)");
  }
  HCRYPTKEY key = 0;
  if (CryptGetUserKey(prov, AT_SIGNATURE, &key)) {
    DWORD bits = 0, size = sizeof bits;
    CryptGetKeyParam(key, KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &size, 0);
    CryptDestroyKey(key);
    if (bits == 2048) return prov;
  }
  if (!CryptGenKey(prov, AT_SIGNATURE, 2048u << 16, &key)) Fail("CryptGenKey");
  CryptDestroyKey(key);
  return prov;
}

Stats AcquireRelease(int n, const wchar_t* container) {
  std::vector<double> times;
  for (int i = 0; i < n; ++i) {
    HCRYPTPROV prov = 0;
    const auto start = Clock::now();
    if (!CryptAcquireContextW(&prov, container, kProvider, PROV_RSA_FULL, 0)) Fail("CryptAcquireContext");
    CryptReleaseContext(prov, 0);
    times.push_back(Ms(Clock::now() - start));
  }
  return Summarise(times);
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::max(10, std::atoi(argv[1])) : 200;
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring store = std::wstring(temp) + L"tarnwick-csp-bench";
  CreateDirectoryW(store.c_str(), nullptr);
  SetEnvironmentVariableW(L"TARNWICK_GEA_STORE", store.c_str());
  Register("DllRegisterServer");

  HCRYPTPROV verify = 0;
  const auto first = Clock::now();
  if (!CryptAcquireContextW(&verify, nullptr, kProvider, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) Fail("verify context");
  const double firstMs = Ms(Clock::now() - first);
  if (!CryptSetProvParam(verify, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>("12345678"), 0)) Fail("PIN");
  HCRYPTPROV ours = Keyed(L"bench", kProvider);
  HCRYPTPROV theirs = Keyed(kRsaenhContainer, MS_ENHANCED_PROV_W);
  for (int i = 0; i < 10; ++i) {
    SignOnce(ours);
    SignOnce(theirs);
  }
  // Alternating blocks, so that load drift on a shared machine hits both alike.
  std::vector<double> oursTimes, theirsTimes;
  for (int done = 0; done < n; done += 20) {
    for (int i = 0; i < 20; ++i) oursTimes.push_back(SignOnce(ours));
    for (int i = 0; i < 20; ++i) theirsTimes.push_back(SignOnce(theirs));
  }
  const Stats o = Summarise(oursTimes), t = Summarise(theirsTimes);
  CryptReleaseContext(ours, 0);

  // With another context open the readers stay set up; without one, the provider lists and
  // connects them at every acquire and lets them go at every release.
  const Stats warm = AcquireRelease(n, L"bench");
  CryptReleaseContext(verify, 0);
  const Stats cold = AcquireRelease(n, L"bench");

  CryptReleaseContext(theirs, 0);
  HCRYPTPROV gone = 0;
  CryptAcquireContextW(&gone, kRsaenhContainer, MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
  Register("DllUnregisterServer");

  std::printf("RSA-2048 SHA-1 CryptSignHash, %zu signatures each:\n", oursTimes.size());
  std::printf("  MVCSP   median %.3f ms  p90 %.3f ms  max %.3f ms\n", o.median, o.p90, o.max);
  std::printf("  rsaenh  median %.3f ms  p90 %.3f ms  max %.3f ms\n", t.median, t.p90, t.max);
  std::printf("  ratio MVCSP / rsaenh (medians) %.2f\n", o.median / t.median);
  std::printf("CryptAcquireContext + CryptReleaseContext, %d each (target: median <= 5 ms):\n", n);
  std::printf("  another context open  median %.3f ms  p90 %.3f ms  max %.3f ms\n", warm.median, warm.p90, warm.max);
  std::printf("  no other context      median %.3f ms  p90 %.3f ms  max %.3f ms\n", cold.median, cold.p90, cold.max);
  std::printf("  first acquire of the process (module load and start-up) %.3f ms\n", firstMs);
  std::printf(
      "{\"sign_median_ms\":%.3f,\"rsaenh_sign_median_ms\":%.3f,\"sign_ratio\":%.2f,"
      "\"acquire_release_median_ms\":%.3f,\"acquire_release_alone_median_ms\":%.3f,\"first_acquire_ms\":%.3f}\n",
      o.median, t.median, o.median / t.median, warm.median, cold.median, firstMs);
  return cold.median <= 5.0 && warm.median <= 5.0 ? 0 : 3;
}
