// Bounds every string argument of a call by its kind, before any work.
#pragma once

#include <QString>

#include <initializer_list>

// What each string argument of the daemon's methods may hold, in UTF-16
// code units as the bus delivers them, a path in bytes as the file system
// sees it. Every limit is far above what the argument ever is, and small
// enough that a call cannot make the daemon write or hold much for it.
enum class ArgumentKind {
    // A file or folder path: PATH_MAX (4096) bytes less the closing NUL.
    Path,
    // A package name names the app's data folder: at most a file name.
    PackageName,
    // An app's display name: Android shortens the labels it shows to 1000.
    AppName,
    // A phone identity value (PROP_VALUE_MAX is 92 bytes; the longest real
    // value, the IMEI, has 15 digits).
    IdentityValue,
    // A login name: LOGIN_NAME_MAX (256) less the closing NUL.
    UserName,
    // A user id in decimal: uid_t has at most 10 digits.
    UserId,
    // An IPv4 address with its prefix, "255.255.255.255/32" at the longest.
    BridgeAddress,
    // "true" or "false".
    Switch,
};

constexpr int maxPathBytes = 4095;
constexpr int maxPackageNameLength = 255;
constexpr int maxAppNameLength = 1024;
constexpr int maxIdentityValueLength = 255;
constexpr int maxUserNameLength = 255;
constexpr int maxUserIdLength = 10;
constexpr int maxBridgeAddressLength = 64;
constexpr int maxSwitchLength = 16;

// The limit of one kind (for a path, in bytes).
int argumentLimit(ArgumentKind kind);

struct BoundedArgument
{
    const QString &value;
    ArgumentKind kind;
};

// True when every argument is within the limit of its kind. Otherwise logs
// one short line (the method, the argument's place and size, no value) and
// answers false. The sizes are looked at before anything else, so an
// oversized call costs nothing more.
bool argumentsFit(const char *method, std::initializer_list<BoundedArgument> arguments);
