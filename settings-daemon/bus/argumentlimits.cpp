// Bounds every string argument of a call by its kind, before any work.
#include "argumentlimits.h"

#include "heaptrim.h"

#include <QDebug>
#include <QFile>

int argumentLimit(ArgumentKind kind)
{
    switch (kind) {
    case ArgumentKind::Path:
        return maxPathBytes;
    case ArgumentKind::PackageName:
        return maxPackageNameLength;
    case ArgumentKind::AppName:
        return maxAppNameLength;
    case ArgumentKind::IdentityValue:
        return maxIdentityValueLength;
    case ArgumentKind::UserName:
        return maxUserNameLength;
    case ArgumentKind::UserId:
        return maxUserIdLength;
    case ArgumentKind::BridgeAddress:
        return maxBridgeAddressLength;
    case ArgumentKind::Switch:
        return maxSwitchLength;
    }
    return 0;
}

bool argumentsFit(const char *method, std::initializer_list<BoundedArgument> arguments)
{
    int place = 0;
    for (const BoundedArgument &argument : arguments) {
        ++place;
        const int limit = argumentLimit(argument.kind);
        // A UTF-16 code unit never takes fewer bytes in the file system's
        // encoding, so only a path short enough in code units is encoded.
        int size = argument.value.size();
        if (argument.kind == ArgumentKind::Path && size <= limit)
            size = QFile::encodeName(argument.value).size();
        if (size > limit) {
            // The call's message holds it until the slot returns.
            noteCallMemory(qint64(argument.value.size()) * 2);
            qWarning("%s: argument %d refused: %d %s, over the limit of %d", method, place, size,
                     argument.kind == ArgumentKind::Path ? "bytes" : "characters", limit);
            return false;
        }
    }
    return true;
}
