#include "cabinetframe.h"

#include <QtEndian>

using namespace CabinetProtocol;

namespace CabinetFrame {

namespace {

void putHeader(char *bytes, quint16 transactionId, quint16 length, int unit, int function)
{
    qToBigEndian<quint16>(transactionId, bytes);
    qToBigEndian<quint16>(0, bytes + 2);
    qToBigEndian<quint16>(length, bytes + 4);
    bytes[6] = char(unit & 0xff);
    bytes[FunctionOffset] = char(function);
}

void takeHeader(const char *bytes, Frame *frame)
{
    frame->transactionId = qFromBigEndian<quint16>(bytes);
    frame->protocol = qFromBigEndian<quint16>(bytes + 2);
    frame->length = qFromBigEndian<quint16>(bytes + 4);
    frame->unit = quint8(bytes[6]);
    frame->function = quint8(bytes[FunctionOffset]);
}

} // namespace

QByteArray request(quint16 transactionId, int unit, int function, int reg, quint16 value)
{
    QByteArray bytes(FrameSize, Qt::Uninitialized);
    putHeader(bytes.data(), transactionId, 6, unit, function);
    qToBigEndian<quint16>(quint16(reg), bytes.data() + 8);
    qToBigEndian<quint16>(value, bytes.data() + 10);
    return bytes;
}

QByteArray readAnswer(quint16 transactionId, int unit, quint16 value, quint16 byteCount)
{
    return request(transactionId, unit, ReadInputRegister, byteCount, value);
}

QByteArray exceptionAnswer(quint16 transactionId, int unit, int function, int code)
{
    QByteArray bytes(ExceptionFrameSize, Qt::Uninitialized);
    putHeader(bytes.data(), transactionId, 3, unit, function | ExceptionFlag);
    bytes[FunctionOffset + 1] = char(code);
    return bytes;
}

QByteArray encode(const Frame &frame)
{
    if (frame.isException())
        return exceptionAnswer(frame.transactionId, frame.unit, frame.function, frame.value);
    return request(frame.transactionId, frame.unit, frame.function, frame.address, frame.value);
}

int answerLength(const char *data, qint64 size)
{
    return size < LengthKnownAt ? 0 : answerLengthFor(data[FunctionOffset]);
}

int decodeAnswer(const char *data, qint64 size, Frame *frame)
{
    const int length = answerLength(data, size);
    if (length == 0 || size < length)
        return 0;
    if (!frame)
        return length;
    takeHeader(data, frame);
    if (length == ExceptionFrameSize) {
        frame->address = 0;
        frame->value = quint8(data[FunctionOffset + 1]);
    } else {
        frame->address = qFromBigEndian<quint16>(data + 8);
        frame->value = qFromBigEndian<quint16>(data + 10);
    }
    return length;
}

int decodeRequest(const char *data, qint64 size, Frame *frame)
{
    if (size < HeaderSize)
        return 0;
    // The header alone tells a stream that is no cabinet's, before the rest comes.
    frame->protocol = qFromBigEndian<quint16>(data + 2);
    frame->length = qFromBigEndian<quint16>(data + 4);
    if (frame->protocol != 0 || frame->length != 6)
        return -1;
    if (size < FrameSize)
        return 0;
    takeHeader(data, frame);
    frame->address = qFromBigEndian<quint16>(data + 8);
    frame->value = qFromBigEndian<quint16>(data + 10);
    return FrameSize;
}

} // namespace CabinetFrame
