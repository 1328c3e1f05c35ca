#pragma once
// Bytes of one relay direction waiting to be sent: appended at the back,
// taken from the front. Appended arrays are kept as they are (implicitly
// shared with the events that recorded them), so queuing copies nothing.
#include <QByteArray>
#include <deque>

class RelayBuffer {
public:
    bool isEmpty() const { return mSize == 0; }
    qint64 size() const { return mSize; }
    void append(const QByteArray& data);
    void prepend(const QByteArray& data);
    QByteArray takeFront(qint64 n);   // at most n bytes
    QByteArray takeAll();
    void clear();
    QByteArray toByteArray() const;   // a copy of everything waiting

private:
    void dropHead();
    std::deque<QByteArray> mChunks;
    qsizetype mHead = 0;   // bytes of the front chunk already taken
    qint64 mSize = 0;
};
