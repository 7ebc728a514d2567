#include "usbip.h"

#include <QtEndian>

namespace usbip {

QByteArray encode(const Header &h)
{
    QByteArray bytes(kHeaderSize, '\0');
    char *p = bytes.data();
    const uint32_t basic[5] = {h.command, h.seqnum, h.devid, h.direction, h.ep};
    for (int i = 0; i < 5; ++i)
        qToBigEndian<uint32_t>(basic[i], p + 4 * i);
    for (int i = 0; i < 5; ++i)
        qToBigEndian<int32_t>(h.word[i], p + 20 + 4 * i);
    for (int i = 0; i < 8; ++i)
        p[40 + i] = char(h.setup[i]);
    return bytes;
}

Header decode(const char *p)
{
    Header h;
    h.command = qFromBigEndian<uint32_t>(p);
    h.seqnum = qFromBigEndian<uint32_t>(p + 4);
    h.devid = qFromBigEndian<uint32_t>(p + 8);
    h.direction = qFromBigEndian<uint32_t>(p + 12);
    h.ep = qFromBigEndian<uint32_t>(p + 16);
    for (int i = 0; i < 5; ++i)
        h.word[i] = qFromBigEndian<int32_t>(p + 20 + 4 * i);
    for (int i = 0; i < 8; ++i)
        h.setup[i] = uint8_t(p[40 + i]);
    return h;
}

Setup setupOf(const Header &submit)
{
    const uint8_t *s = submit.setup;
    Setup setup;
    setup.requestType = s[0];
    setup.request = s[1];
    setup.value = qFromLittleEndian<uint16_t>(s + 2);
    setup.index = qFromLittleEndian<uint16_t>(s + 4);
    setup.length = qFromLittleEndian<uint16_t>(s + 6);
    return setup;
}

void setSetup(Header &submit, const Setup &setup)
{
    uint8_t *s = submit.setup;
    s[0] = uint8_t(setup.requestType);
    s[1] = uint8_t(setup.request);
    qToLittleEndian<uint16_t>(uint16_t(setup.value), s + 2);
    qToLittleEndian<uint16_t>(uint16_t(setup.index), s + 4);
    qToLittleEndian<uint16_t>(uint16_t(setup.length), s + 6);
}

QByteArray submitReply(const Header &submit, int status, int actualLength, const QByteArray &inData)
{
    // As the kernel's own USB/IP device side answers: devid, direction and
    // endpoint 0, no frames, no packets.
    Header reply;
    reply.command = RetSubmit;
    reply.seqnum = submit.seqnum;
    reply.word[0] = status;
    const bool in = submit.direction == DirIn;
    reply.word[1] = in ? int32_t(inData.size()) : actualLength;
    return encode(reply) + (in ? inData : QByteArray());
}

QByteArray unlinkReply(const Header &unlink, int status)
{
    Header reply;
    reply.command = RetUnlink;
    reply.seqnum = unlink.seqnum;
    reply.word[0] = status;
    return encode(reply);
}

} // namespace usbip
