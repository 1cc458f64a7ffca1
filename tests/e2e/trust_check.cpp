/* trust_check.exe ROOT.der FILE...
 *
 * A second opinion from the system's own Authenticode check: ROOT.der is
 * trusted as a root of the machine, then each FILE's answer from
 * WinVerifyTrust is printed as "0xHHHHHHHH FILE". Whatever the answers, the
 * exit status is 0; it is not 0 only when the root could not be read or
 * trusted, so that a refusal is never mistaken for a broken run. */
#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>
#include <stdio.h>
#include <stdlib.h>

static BYTE *read_whole(const wchar_t *path, DWORD *size) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return NULL;
  BYTE *bytes = NULL;
  LARGE_INTEGER length;
  /* A certificate is a few kilobytes; anything near 4 GiB is no certificate. */
  if (GetFileSizeEx(file, &length) && length.QuadPart > 0 && length.QuadPart < (1 << 20)) {
    bytes = static_cast<BYTE *>(malloc(static_cast<size_t>(length.QuadPart)));
    DWORD got = 0;
    if (bytes && (!ReadFile(file, bytes, (DWORD)length.QuadPart, &got, NULL) || got != length.QuadPart)) {
      free(bytes);
      bytes = NULL;
    }
    *size = got;
  }
  CloseHandle(file);
  return bytes;
}

/* The machine's store rather than the user's: Windows asks the user before a
 * root is added to theirs, and nothing here may wait on a dialog. */
static int trust_root(const wchar_t *path) {
  DWORD size = 0;
  BYTE *der = read_whole(path, &size);
  if (!der) {
    fprintf(stderr, "cannot read %ls: error %lu\n", path, GetLastError());
    return 0;
  }
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  BOOL added = store && CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der, size,
                                                         CERT_STORE_ADD_REPLACE_EXISTING, NULL);
  if (!added) fprintf(stderr, "cannot trust %ls as a root: error 0x%08lX\n", path, GetLastError());
  if (store) CertCloseStore(store, 0);
  free(der);
  return added;
}

static LONG verify(const wchar_t *path) {
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  WINTRUST_FILE_INFO file = {sizeof file, path, NULL, NULL};
  WINTRUST_DATA data = {};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  LONG result = WinVerifyTrust((HWND)INVALID_HANDLE_VALUE, &action, &data);
  /* The state kept by VERIFY is released whatever it answered. */
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust((HWND)INVALID_HANDLE_VALUE, &action, &data);
  return result;
}

int wmain(int argc, wchar_t **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: trust_check.exe ROOT.der FILE...\n");
    return 2;
  }
  if (!trust_root(argv[1])) return 1;
  for (int i = 2; i < argc; i++) printf("0x%08lX %ls\n", (unsigned long)verify(argv[i]), argv[i]);
  return fflush(stdout) == 0 ? 0 : 1;
}
