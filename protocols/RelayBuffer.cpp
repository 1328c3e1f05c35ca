#include "protocols/RelayBuffer.h"

void RelayBuffer::append(const QByteArray& data)
{
    if (data.isEmpty()) return;
    mChunks.push_back(data);
    mSize += data.size();
}

void RelayBuffer::dropHead()
{
    if (mHead > 0 && !mChunks.empty()) {
        mChunks.front() = mChunks.front().mid(mHead);
        mHead = 0;
    }
}

void RelayBuffer::prepend(const QByteArray& data)
{
    if (data.isEmpty()) return;
    dropHead();
    mChunks.push_front(data);
    mSize += data.size();
}

QByteArray RelayBuffer::takeFront(qint64 n)
{
    if (n <= 0 || mSize == 0) return QByteArray();
    if (n > mSize) n = mSize;
    // The common case hands back a queued array as it is, without copying.
    if (mHead == 0 && mChunks.front().size() == n) {
        QByteArray out = std::move(mChunks.front());
        mChunks.pop_front();
        mSize -= n;
        return out;
    }
    QByteArray out;
    out.reserve(qsizetype(n));
    while (n > 0) {
        QByteArray& front = mChunks.front();
        const qsizetype avail = front.size() - mHead;
        const qsizetype take = qsizetype(qMin<qint64>(avail, n));
        out.append(front.constData() + mHead, take);
        mHead += take;
        n -= take;
        mSize -= take;
        if (mHead == front.size()) {
            mChunks.pop_front();
            mHead = 0;
        }
    }
    return out;
}

QByteArray RelayBuffer::takeAll() { return takeFront(mSize); }

void RelayBuffer::clear()
{
    mChunks.clear();
    mHead = 0;
    mSize = 0;
}

QByteArray RelayBuffer::toByteArray() const
{
    QByteArray out;
    out.reserve(qsizetype(mSize));
    bool first = true;
    for (const QByteArray& chunk : mChunks) {
        if (first) out.append(chunk.constData() + mHead, chunk.size() - mHead);
        else out.append(chunk);
        first = false;
    }
    return out;
}
