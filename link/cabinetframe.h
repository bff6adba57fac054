#pragma once

#include "cabinetprotocol.h"

#include <QByteArray>
#include <QtGlobal>

// The Modbus TCP frames of the cabinets, in one place: nothing else packs or
// parses a header.
namespace CabinetFrame {

struct Frame
{
    quint16 transactionId = 0;
    quint16 protocol = 0;
    quint16 length = 6; // bytes after the length field
    int unit = 0;
    int function = 0; // with CabinetProtocol::ExceptionFlag for an exception answer
    // Requests and write echoes: register and value (a read's quantity). Read
    // answers: byte count and value. Exception answers: the code, in value.
    quint16 address = 0;
    quint16 value = 0;

    bool isException() const { return function & CabinetProtocol::ExceptionFlag; }
    int exceptionCode() const { return value; }
};

// 12 bytes: a request, or the echo a write is answered with.
QByteArray request(quint16 transactionId, int unit, int function, int reg, quint16 value);
// 12 bytes, with this installation's 16-bit byte count.
QByteArray readAnswer(quint16 transactionId, int unit, quint16 value, quint16 byteCount = 2);
// 9 bytes: header, function with the exception flag, exception code.
QByteArray exceptionAnswer(quint16 transactionId, int unit, int function, int code);
// Any frame, as its function code says: 9 bytes for an exception answer, else 12.
QByteArray encode(const Frame &frame);

// Bytes needed before the length of a frame is known.
constexpr int LengthKnownAt = CabinetProtocol::FunctionOffset + 1;

// How long the answer at the front of these bytes is; 0 while too few came to tell.
int answerLength(const char *data, qint64 size);

// Decodes the answer at the front of these bytes (frame may be null to learn only
// whether it is complete). Returns its length, or 0 while it is not complete: the
// rest comes later.
int decodeAnswer(const char *data, qint64 size, Frame *frame);

// Decodes the request at the front of these bytes. Returns 12, 0 while it is not
// complete, or -1 for a header no cabinet takes (protocol or length not 0 and 6).
int decodeRequest(const char *data, qint64 size, Frame *frame);

} // namespace CabinetFrame
