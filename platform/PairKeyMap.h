#pragma once
// Which of the 65,536 socket pair keys ("KEY-32768" to "KEY32767") are held,
// a bit each. A collection keyed by pair key keeps one beside
// its index, so finding a free key tests 64 keys at a time instead of
// building and looking up each key's text.
#include <QString>
#include <QStringView>
#include <QtGlobal>
#include <array>
#include <initializer_list>

namespace tsy {

class PairKeyMap {
public:
    static constexpr int kKeys = 65536;
    static constexpr int kWords = kKeys / 64;

    // The bit of "KEY<n>" for a signed 16-bit n written as QString::number
    // writes it; -1 for any other text, which is no pair key ("KEY07").
    static int Bit(QStringView key);
    static QString Key(int bit) { return QStringLiteral("KEY") + QString::number(qint16(quint16(bit))); }

    void Added(const QString& key) { Set(Bit(key), true); }
    void Removed(const QString& key) { Set(Bit(key), false); }
    void Cleared();

    // The first bit from `start` on in running order (after 65535 comes 0)
    // that none of the maps holds, or -1; a null map holds nothing.
    static int FirstFree(int start, std::initializer_list<const PairKeyMap*> maps);

private:
    void Set(int bit, bool held);

    std::array<quint64, kWords> mWords{};
};

} // namespace tsy
