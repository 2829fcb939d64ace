#include "model/CaptureAdoption.h"

#include "capture/CaptureSidecar.h"
#include "core/DecodingError.h"
#include "core/JsonFields.h"
#include "core/Uuids.h"

#include <QDir>
#include <QFileInfo>

namespace CaptureAdoption {

namespace {

const QString kUserID = QStringLiteral("userID");
const QString kServer = QStringLiteral("server");
const QString kEmailTo = QStringLiteral("emailTo");
const QString kDiarizationEnabled = QStringLiteral("diarizationEnabled");

} // namespace

QJsonObject details(const QUuid& userID, const QUrl& server, const QString& emailTo, bool diarizationEnabled)
{
    return QJsonObject {
        { kUserID, Uuids::text(userID) },
        { kServer, server.toString() },
        { kEmailTo, emailTo },
        { kDiarizationEnabled, diarizationEnabled },
    };
}

std::vector<Orphan> find(const QString& directory)
{
    const QDir folder(directory);
    const QStringList captures = folder.entryList(
        { QStringLiteral("tallisen-*.mp4") }, QDir::Files | QDir::NoSymLinks | QDir::Hidden, QDir::Name);
    std::vector<Orphan> orphans;
    for (const QString& name : captures) {
        const QString sidecar = CaptureSidecar::pathFor(folder.filePath(name));
        if (QFileInfo(sidecar).isFile()) {
            orphans.push_back({ folder.filePath(name), sidecar });
        }
    }
    return orphans;
}

std::optional<PendingRecording> jobFromSidecar(const QString& sidecar, const QUuid& id)
{
    const std::optional<CaptureSidecar::Contents> contents = CaptureSidecar::read(sidecar);
    if (!contents) {
        return std::nullopt;
    }
    try {
        const QJsonObject& recording = contents->details;
        const QUrl server = JsonFields::requiredUrl(recording, kServer);
        if (!server.isValid() || server.host().isEmpty()) {
            return std::nullopt;
        }
        return PendingRecording {
            .id = id,
            .userID = JsonFields::requiredUuid(recording, kUserID),
            .server = server,
            .recordedAt = contents->recordedAt,
            .emailTo = JsonFields::requiredString(recording, kEmailTo),
            .diarizationEnabled = JsonFields::requiredBool(recording, kDiarizationEnabled),
        };
    } catch (const DecodingError&) {
        return std::nullopt;
    }
}

} // namespace CaptureAdoption
