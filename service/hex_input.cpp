#include "service/hex_input.h"

bool parseHexInput(const QString &text, quint32 &value)
{
    bool ok = false;
    value = text.toUInt(&ok, 16);
    return ok;
}

QString hexInputOffer(quint32 value)
{
    return QStringLiteral("0x") + QString::number(value, 16);
}
