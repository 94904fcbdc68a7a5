#pragma once
// Error codes of the interfaces the programs were written against. Callers compare and print
// these numbers (a trace says "err : 5"), so they keep the Windows values on every platform.

#include <cstdint>

namespace uv::platform {

using WinError = std::uint32_t;

inline constexpr WinError kErrorSuccess = 0;
inline constexpr WinError kErrorFileNotFound = 2;
inline constexpr WinError kErrorPathNotFound = 3;
inline constexpr WinError kErrorAccessDenied = 5;
inline constexpr WinError kErrorInvalidHandle = 6;
inline constexpr WinError kErrorNotEnoughMemory = 8;
inline constexpr WinError kErrorInvalidData = 13;
inline constexpr WinError kErrorNotReady = 21;
inline constexpr WinError kErrorSharingViolation = 32;
inline constexpr WinError kErrorFileExists = 80;
inline constexpr WinError kErrorInvalidParameter = 87;
inline constexpr WinError kErrorInsufficientBuffer = 122;
inline constexpr WinError kErrorInvalidName = 123;
inline constexpr WinError kErrorBadArguments = 160;
inline constexpr WinError kErrorAlreadyExists = 183;
inline constexpr WinError kErrorMoreData = 234;
inline constexpr WinError kErrorNoMoreItems = 259;
inline constexpr WinError kErrorOperationAborted = 995;
inline constexpr WinError kErrorIoPending = 997;
inline constexpr WinError kErrorNotifyEnumDir = 1022;
inline constexpr WinError kErrorBadfile = 1006;
inline constexpr WinError kErrorRegistryCorrupt = 1015;
inline constexpr WinError kErrorRegistryIoFailed = 1016;
inline constexpr WinError kErrorKeyDeleted = 1018;
inline constexpr WinError kErrorServiceDatabaseLocked = 1055;
inline constexpr WinError kErrorTimeout = 1460;

// Winsock error codes (WSAGetLastError).
inline constexpr WinError kWsaEintr = 10004;
inline constexpr WinError kWsaEbadf = 10009;
inline constexpr WinError kWsaEinval = 10022;
inline constexpr WinError kWsaEwouldblock = 10035;
inline constexpr WinError kWsaEmsgsize = 10040;
inline constexpr WinError kWsaEaddrinuse = 10048;
inline constexpr WinError kWsaEaddrnotavail = 10049;
inline constexpr WinError kWsaEnetunreach = 10051;
inline constexpr WinError kWsaEconnreset = 10054;
inline constexpr WinError kWsaEnotconn = 10057;
inline constexpr WinError kWsaEtimedout = 10060;
inline constexpr WinError kWsaEconnrefused = 10061;
inline constexpr WinError kWsaHostNotFound = 11001;

}  // namespace uv::platform
