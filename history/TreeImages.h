#pragma once
// Names of the socket tree's node images. The image of a node also tells
// what kind of node it is, so the history and the main window must agree.
#include <QString>

namespace TreeImages {

inline const QString kImgAllActivity = QStringLiteral("AllActivity");
inline const QString kImgProtocol = QStringLiteral("Protocol");
inline const QString kImgConnection = QStringLiteral("Connection");
inline const QString kImgSocket = QStringLiteral("Socket");
inline const QString kImgSocketDisconnected = QStringLiteral("SocketDisconnected");
inline const QString kImgEvent = QStringLiteral("Event");

} // namespace TreeImages
