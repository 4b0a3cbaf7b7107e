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
//
// A clip put on a pad is prepared in the background (prepare()): one pass over the decoded
// clip measures its peaks and its whole loudness, so that its editor later opens on a
// waveform and figures that are already there. The overview and the whole clip's loudness
// always come from such a pass: a view asking for them while one runs joins it (and one
// still waiting starts at once), and a view that goes away leaves it to finish and keep
// what it measured.

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
    // The clip `path` was put on pad `pad` (empty: the pad holds none now). Unless its whole
    // loudness is known, a pass measures its peaks and loudness in the background and keeps
    // them. Passes take their turn, as many at once as the pool has threads for background
    // work; a pad's newer clip takes the place of its older one, whose pass stops when no
    // other pad holds that clip and no view waits for it. A pass nobody waits for announces
    // nothing, not even a failure: the pad's own opening tells of a clip that cannot be read.
    void prepare(int pad, const QString& path);
    // Stops every job asked for by a view; nothing more comes of them (no result, no
    // failure). Passes over whole clips go on and keep what they measure.
    void cancelAll();
    // True while a job runs or waits, background passes included.
    bool busy() const { return !m_running.isEmpty() || !m_builds.isEmpty(); }

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

    // A pass over a whole clip (prepare()): who waits for it, and whether it runs.
    struct BuildState {
        std::atomic<bool> cancel{false};
        std::atomic<bool> progress{false}; // a view draws the peaks as they come
    };
    struct BuildResult;
    struct Build {
        std::shared_ptr<BuildState> state = std::make_shared<BuildState>();
        QSet<int> pads;              // the pads holding the clip that asked for it
        QList<int> columns;          // overviews waiting for it
        bool loudnessWanted = false; // a loudness() of the whole clip waits for it
        bool viewed = false;         // a view asked for its overview: its peaks stay here
        bool running = false;
        bool beyondLimit = false; // started at once for a view, past the background limit
        std::shared_ptr<const media::Peaks> peaks; // complete, once read from the peak file
        bool waited() const { return !columns.isEmpty() || loudnessWanted; }
    };
    // The pass over `path`, made and queued when there is none.
    Build& build(const QString& path);
    // Starts the queued passes that may run now: those a view waits for at once, the others
    // as far as the background limit lets them.
    void startBuilds();
    void runBuild(const QString& path, Build& b);
    // On the UI thread: peaks of a pass as they come, or complete from the peak file.
    void buildPeaks(const QString& path, const std::shared_ptr<BuildState>& state,
                    const std::shared_ptr<const media::Peaks>& peaks, std::int64_t length,
                    bool complete);
    void buildDone(const QString& path, const std::shared_ptr<BuildState>& state,
                   const BuildResult& result);
    // `pad` no longer holds `path`: its pass stops unless someone else waits for it.
    void letGo(int pad, const QString& path);

    QThreadPool* m_pool;   // decoding, at a lower priority
    QThreadPool* m_quick;  // reading peak files, a few milliseconds each, at the window's
    QThreadPool* m_passes; // passes over whole clips, at the pool's priority
    int m_backgroundLimit = 1;
    QHash<QString, Build> m_builds; // running or queued, by clip
    QList<QString> m_buildQueue;    // the queued ones, in turn
    QHash<int, QString> m_padClips; // what each pad asked to prepare last
    std::shared_ptr<std::atomic<bool>> m_cancel;
    quint64 m_generation = 0;
    QSet<QString> m_running; // jobs started and not yet delivered, by question
    QString m_peakFolder;
    QHash<QString, Known> m_known;
};
