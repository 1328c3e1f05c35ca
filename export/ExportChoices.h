#pragma once
// The save window's choices as the writers read them at save time, so the
// writers can run (and be tested) without the window.
#include <QString>

namespace tsy::Export {

struct ExportChoices {
    char chrFormat = 'h';        // 'h', 'o', 'd', 'b'; 0 = raw data
    int intBytesPerRow = 16;
    bool blnIncludeNonDataEvents = true;
    bool blnIncludeBufferedData = true;
    bool blnIncludeDateTimeStamp = true;
    bool blnIncludeDataDirection = true;
    bool blnIncludeDescription = true;
    int intDirection = 1;        // entry of the direction list, 0..3
};

} // namespace tsy::Export
