#pragma once
// Figures about clip files for the views, measured on a thread pool of its own, never on the
// UI thread (media/clipanalysis.h does the measuring), and kept in memory per file: by its
// path, size, modification time and file identity, so that a file replaced on disk is
// measured again and never answered from what was measured of the old one.
//
//   ClipAnalyser analyser;
//   connect(&analyser, &ClipAnalyser::loudnessReady, ...);
//   if (auto figures = analyser.loudness(path, span)) ...   // known: at once
//   // otherwise loudnessReady(path, span, figures) or failed(path, message) follows
//
// Every request starts at most one job per file and question; asking again while it runs
// starts nothing more. Each result comes once as a signal on the UI thread, also when it was
// already known (requestOverview, requestAudible), so that a view can simply ask and wait.
// A file that cannot be read gives failed() with the engine's own message naming it
// ("対応していない形式か、壊れたファイルです: <path>" and the like).
//
// The peaks behind a waveform overview are also kept on disk, in the user's cache folder,
// so that a clip seen in an earlier session shows its waveform without being decoded again
// (media/peakcache.h). The jobs that decode run at a lower priority than the window and the
// engine; peak files are read at the window's.

#include "clipanalysis.h"
#include "peakcache.h"

#include <QHash>
#include <QMetaType>
#include <QObject>
#include <QSet>
#include <QString>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <tuple>

class QThreadPool;

Q_DECLARE_METATYPE(media::Span)
Q_DECLARE_METATYPE(media::LoudnessFigures)
Q_DECLARE_METATYPE(media::AudibleSpan)
Q_DECLARE_METATYPE(media::Overview)

class ClipAnalyser : public QObject {
    Q_OBJECT
public:
    explicit ClipAnalyser(QObject* parent = nullptr);
    // Cancels what runs and waits for it (each job notices within a few milliseconds).
    ~ClipAnalyser() override;

    // The integrated loudness and true peak of `span` of the clip, when known; otherwise
    // nothing, and measuring starts: loudnessReady() or failed() follows.
    std::optional<media::LoudnessFigures> loudness(const QString& path, media::Span span = {});
    // The first and last audible millisecond above `thresholdDbfs`, when known (no job).
    std::optional<media::AudibleSpan> audible(const QString& path, double thresholdDbfs = -50.0);
    // audibleReady() follows (at once, through the event loop, when known), or failed().
    void requestAudible(const QString& path, double thresholdDbfs = -50.0);
    // The waveform overview in `columns` columns: overviewProgress() with the columns done so
    // far every few hundred milliseconds, then overviewReady() with all of them, or failed().
    // A known overview comes at once as overviewReady().
    void requestOverview(const QString& path, int columns);
    // Where the peaks of overviews are kept between sessions; empty keeps none. By default
    // "varnel/cuedeck/peaks" in the user's cache folder.
    void setPeakFolder(const QString& folder) { m_peakFolder = folder; }
    const QString& peakFolder() const { return m_peakFolder; }
    // Stops every job; nothing more comes of them (no result, no failure).
    void cancelAll();
    // True while a job runs or waits.
    bool busy() const { return !m_running.isEmpty(); }

signals:
    void loudnessReady(const QString& path, media::Span span, media::LoudnessFigures figures);
    void overviewProgress(const QString& path, const media::Overview& partial);
    void overviewReady(const QString& path, const media::Overview& overview);
    void audibleReady(const QString& path, media::AudibleSpan span);
    void failed(const QString& path, const QString& message);

private:
    // What tells one file from another at the same path.
    struct Identity {
        std::int64_t size = -1;
        std::int64_t mtimeNs = 0;
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
        bool operator==(const Identity&) const = default;
    };
    struct Known {
        Identity identity;
        std::map<std::pair<std::int64_t, std::int64_t>, media::LoudnessFigures> loudness;
        std::map<double, media::AudibleSpan> audible;
        std::shared_ptr<const media::Peaks> peaks; // an overview of any width comes from them
    };
    static std::optional<Identity> identityOf(const QString& path);
    // The known figures of `path`, dropped first when the file is no longer the one measured.
    Known* known(const QString& path);
    // Runs `work` (returns the result, throws OpenError) on the pool, or on the quick pool
    // when `quick`; `deliver` gets its result on the UI thread with the identity the file had
    // throughout, or none when it changed while it was read.
    template <typename Result, typename Work, typename Deliver>
    void start(const QString& job, const QString& path, Work work, Deliver deliver,
               bool quick = false);
    // The overview from the peak file or decoded from the clip, as it comes, and its peaks
    // kept; given unless `answered` (set then).
    void measureOverview(const QString& path, int columns, const std::shared_ptr<bool>& answered);

    QThreadPool* m_pool;  // decoding, at a lower priority
    QThreadPool* m_quick; // reading peak files, a few milliseconds each, at the window's
    std::shared_ptr<std::atomic<bool>> m_cancel;
    quint64 m_generation = 0;
    QSet<QString> m_running; // jobs started and not yet delivered, by question
    QString m_peakFolder;
    QHash<QString, Known> m_known;
};
