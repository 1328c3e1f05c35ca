// The held-key map: parsing a pair key to its bit, and the word-wise search
// for the next key none of the maps holds.
#include "platform/PairKeyMap.h"

#include <bit>

namespace tsy {

int PairKeyMap::Bit(QStringView key)
{
    if (key.size() < 4 || key.size() > 9 || !key.startsWith(u"KEY")) return -1;
    qsizetype i = 3;
    const bool negative = key[i] == u'-';
    if (negative) ++i;
    const qsizetype digits = key.size() - i;
    // QString::number writes no leading zero and no "-0".
    if (digits < 1 || digits > 5 || (key[i] == u'0' && (digits > 1 || negative))) return -1;
    int n = 0;
    for (; i < key.size(); ++i) {
        const char16_t c = key[i].unicode();
        if (c < u'0' || c > u'9') return -1;
        n = n * 10 + (c - u'0');
    }
    if (negative) n = -n;
    if (n < -32768 || n > 32767) return -1;
    return int(quint16(qint16(n)));
}

void PairKeyMap::Set(int bit, bool held)
{
    if (bit < 0) return;
    const quint64 mask = quint64(1) << (bit % 64);
    quint64& word = mWords[size_t(bit) / 64];
    word = held ? word | mask : word & ~mask;
}

void PairKeyMap::Cleared()
{
    mWords.fill(0);
}

int PairKeyMap::FirstFree(int start, std::initializer_list<const PairKeyMap*> maps)
{
    start = int(quint16(start));
    const int first = start / 64;
    // The start's own word twice: from the start on, and at the end the bits
    // before it.
    for (int step = 0; step <= kWords; ++step) {
        const int w = (first + step) % kWords;
        quint64 held = 0;
        for (const PairKeyMap* m : maps)
            if (m) held |= m->mWords[size_t(w)];
        if (step == 0) held |= (quint64(1) << (start % 64)) - 1;
        if (~held) return w * 64 + std::countr_one(held);
    }
    return -1;
}

} // namespace tsy
