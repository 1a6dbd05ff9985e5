#include "device/bootloader_info.h"

#include <QtGlobal>

QByteArray versionTextOfBlock(const QByteArray &block)
{
    constexpr int textOffset = 16;
    constexpr int textSize = 16;
    const QByteArray text = block.mid(textOffset, textSize);
    const int zero = text.indexOf('\0');
    return zero < 0 ? text : text.left(zero);
}
