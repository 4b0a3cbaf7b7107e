#include "clipanalyser.h"

#include <QFile>
#include <QStandardPaths>
#include <QThread>
#include <QThreadPool>

#include <cerrno>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The analysis threads' niceness: decoding a long clip takes a core for a second or more,
// and the window and the engine's worker go first.
constexpr int kAnalysisNice = 10;
// The most the peak folder holds: some five hundred 10-minute clips.
constexpr std::int64_t kPeakFolderBytes = std::int64_t{256} << 20;

void lowerThisThread() {
    thread_local bool lowered = false;
    if (std::exchange(lowered, true))
        return;
    // On Linux the niceness is the calling thread's alone when given its thread id.
    const id_t self = static_cast<id_t>(::gettid());
    errno = 0;
    const int now = ::getpriority(PRIO_PROCESS, self);
    if (errno == 0 && now < kAnalysisNice)
        ::setpriority(PRIO_PROCESS, self, kAnalysisNice);
}

QString spanKey(media::Span span) {
    return QString::number(span.fromMs) + QLatin1Char('-') + QString::number(span.toMs);
}

} // namespace

ClipAnalyser::ClipAnalyser(QObject* parent)
    : QObject(parent), m_pool(new QThreadPool(this)), m_quick(new QThreadPool(this)),
      m_passes(new QThreadPool(this)), m_cancel(std::make_shared<std::atomic<bool>>(false)),
      m_peakFolder(QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
                   QStringLiteral("/varnel/cuedeck/peaks")) {
    qRegisterMetaType<media::Span>();
    qRegisterMetaType<media::LoudnessFigures>();
    qRegisterMetaType<media::AudibleSpan>();
    qRegisterMetaType<media::Overview>();
    // One core stays for the window and the engine's worker.
    m_backgroundLimit = std::max(1, QThread::idealThreadCount() - 1);
    m_pool->setMaxThreadCount(m_backgroundLimit);
    m_quick->setMaxThreadCount(1);
    // Background passes up to the limit, and a view's pass beside them.
    m_passes->setMaxThreadCount(m_backgroundLimit + 1);
}

ClipAnalyser::~ClipAnalyser() {
    m_cancel->store(true);
    for (const Build& b : std::as_const(m_builds))
        b.state->cancel.store(true);
    m_pool->waitForDone();
    m_quick->waitForDone();
    m_passes->waitForDone();
}

void ClipAnalyser::cancelAll() {
    m_cancel->store(true);
    m_cancel = std::make_shared<std::atomic<bool>>(false);
    ++m_generation;
    m_running.clear();
    for (Build& b : m_builds) {
        b.columns.clear();
        b.loudnessWanted = false;
        b.state->progress.store(false);
    }
}

std::optional<ClipAnalyser::Identity> ClipAnalyser::identityOf(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    Identity id;
    id.size = static_cast<std::int64_t>(st.st_size);
    id.mtimeNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    id.device = static_cast<std::uint64_t>(st.st_dev);
    id.inode = static_cast<std::uint64_t>(st.st_ino);
    return id;
}

ClipAnalyser::Known* ClipAnalyser::known(const QString& path) {
    auto it = m_known.find(path);
    if (it == m_known.end())
        return nullptr;
    const std::optional<Identity> now = identityOf(path);
    if (!now || !(*now == it->identity)) {
        m_known.erase(it);
        return nullptr;
    }
    return &*it;
}

template <typename Result, typename Work, typename Deliver>
void ClipAnalyser::start(const QString& job, const QString& path, Work work, Deliver deliver,
                         bool quick) {
    if (m_running.contains(job))
        return;
    m_running.insert(job);
    const quint64 generation = m_generation;
    std::shared_ptr<std::atomic<bool>> cancel = m_cancel;
    (quick ? m_quick : m_pool)->start([this, job, path, generation, cancel, work, deliver, quick] {
        if (!quick)
            lowerThisThread();
        const std::optional<Identity> before = identityOf(path);
        std::optional<Result> result;
        QString error;
        try {
            result = work(path.toStdString(), cancel.get());
        } catch (const media::OpenError& e) {
            error = QString::fromStdString(e.what());
        } catch (...) {
            error = QStringLiteral("クリップを解析できません: ") + path;
        }
        if (cancel->load())
            return;
        std::optional<Identity> same = identityOf(path);
        if (!before || !same || !(*before == *same))
            same.reset();
        QMetaObject::invokeMethod(
            this,
            [this, job, path, generation, result, error, same, deliver] {
                if (generation != m_generation)
                    return; // cancelled after it finished
                m_running.remove(job);
                if (!result) {
                    emit failed(path, error.isEmpty()
                                          ? QStringLiteral("クリップを解析できません: ") + path
                                          : error);
                    return;
                }
                Known* entry = nullptr;
                if (same) {
                    entry = known(path);
                    if (!entry) {
                        Known fresh;
                        fresh.identity = *same;
                        entry = &*m_known.insert(path, fresh);
                    } else if (!(entry->identity == *same)) {
                        entry = nullptr;
                    }
                }
                deliver(entry, *result);
            },
            Qt::QueuedConnection);
    });
}

std::optional<media::LoudnessFigures> ClipAnalyser::loudness(const QString& path,
                                                             media::Span span) {
    const auto key = std::make_pair(span.fromMs, span.toMs);
    if (Known* k = known(path)) {
        auto it = k->loudness.find(key);
        if (it != k->loudness.end())
            return it->second;
    }
    if (span.fromMs <= 0 && span.toMs <= 0) {
        build(path).loudnessWanted = true;
        startBuilds();
        return std::nullopt;
    }
    start<media::LoudnessFigures>(
        QStringLiteral("loudness ") + spanKey(span) + QLatin1Char(' ') + path, path,
        [span](const std::string& file, const std::atomic<bool>* cancel) {
            return media::measureLoudness(file, span, cancel);
        },
        [this, path, span, key](Known* entry, const media::LoudnessFigures& figures) {
            if (entry)
                entry->loudness[key] = figures;
            emit loudnessReady(path, span, figures);
        });
    return std::nullopt;
}

std::optional<media::AudibleSpan> ClipAnalyser::audible(const QString& path, double thresholdDbfs) {
    if (Known* k = known(path)) {
        auto it = k->audible.find(thresholdDbfs);
        if (it != k->audible.end())
            return it->second;
    }
    return std::nullopt;
}

void ClipAnalyser::requestAudible(const QString& path, double thresholdDbfs) {
    if (std::optional<media::AudibleSpan> span = audible(path, thresholdDbfs)) {
        QMetaObject::invokeMethod(
            this, [this, path, s = *span] { emit audibleReady(path, s); }, Qt::QueuedConnection);
        return;
    }
    start<media::AudibleSpan>(
        QStringLiteral("audible ") + QString::number(thresholdDbfs) + QLatin1Char(' ') + path, path,
        [thresholdDbfs](const std::string& file, const std::atomic<bool>* cancel) {
            return media::findAudible(file, thresholdDbfs, cancel);
        },
        [this, path, thresholdDbfs](Known* entry, const media::AudibleSpan& span) {
            if (entry)
                entry->audible[thresholdDbfs] = span;
            emit audibleReady(path, span);
        });
}

void ClipAnalyser::requestOverview(const QString& path, int columns) {
    if (Known* k = known(path); k && k->peaks) {
        QMetaObject::invokeMethod(
            this,
            [this, path, o = media::overviewOf(*k->peaks, columns)] {
                emit overviewReady(path, o);
            },
            Qt::QueuedConnection);
        return;
    }
    auto join = [this, path, columns] {
        Build& b = build(path);
        b.viewed = true;
        if (b.peaks) {
            QMetaObject::invokeMethod(
                this,
                [this, path, o = media::overviewOf(*b.peaks, columns)] {
                    emit overviewReady(path, o);
                },
                Qt::QueuedConnection);
            return;
        }
        b.columns.append(columns);
        b.state->progress.store(true);
        startBuilds();
    };
    if (m_builds.contains(path)) {
        join();
        return;
    }
    // A pass waits its turn at a lower priority, behind others, and can wait a long while for
    // a core on a busy machine: the peak file is read at the window's priority first, and a
    // pass joined only when there is none.
    using Kept = std::shared_ptr<const media::Peaks>;
    const std::string folder = m_peakFolder.toStdString();
    start<Kept>(
        QStringLiteral("peak file ") + QString::number(columns) + QLatin1Char(' ') + path, path,
        [folder](const std::string& file, const std::atomic<bool>*) -> std::optional<Kept> {
            const std::optional<media::FileStamp> stamp = media::stampOf(file);
            if (!stamp || folder.empty())
                return Kept();
            std::optional<media::Peaks> kept = media::loadPeaks(folder, file, *stamp);
            return kept ? std::make_shared<const media::Peaks>(std::move(*kept)) : Kept();
        },
        [this, path, columns, join](Known* entry, const Kept& kept) {
            if (!kept) {
                join();
                return;
            }
            if (entry) {
                entry->peaks = kept;
                if (kept->loudness)
                    entry->loudness[{0, 0}] = *kept->loudness;
            }
            emit overviewReady(path, media::overviewOf(*kept, columns));
        },
        true);
}

// ---- passes over whole clips ---------------------------------------------------------------

struct ClipAnalyser::BuildResult {
    bool cancelled = false;
    QString error; // the clip could not be read
    std::shared_ptr<const media::Peaks> peaks;
    bool stored = false; // the peaks are in the peak folder
    std::optional<media::LoudnessFigures> loudness;
    std::optional<Identity> identity; // the file's throughout; none when it changed
};

void ClipAnalyser::prepare(int pad, const QString& path) {
    const QString old = std::exchange(m_padClips[pad], path);
    if (old == path)
        return;
    if (!old.isEmpty())
        letGo(pad, old);
    if (path.isEmpty())
        return;
    if (Known* k = known(path); k && k->loudness.count({0, 0}))
        return; // measured whole in this session, its peaks with it
    build(path).pads.insert(pad);
    startBuilds();
}

void ClipAnalyser::letGo(int pad, const QString& path) {
    auto it = m_builds.find(path);
    if (it == m_builds.end())
        return;
    it->pads.remove(pad);
    if (!it->pads.isEmpty() || it->waited())
        return;
    if (it->running) {
        it->state->cancel.store(true); // it goes once it has stopped (buildDone)
        return;
    }
    m_buildQueue.removeOne(path);
    m_builds.erase(it);
}

ClipAnalyser::Build& ClipAnalyser::build(const QString& path) {
    auto it = m_builds.find(path);
    if (it == m_builds.end()) {
        it = m_builds.insert(path, Build());
        m_buildQueue.append(path);
    }
    // Wanted again while it stops: it goes on, or starts again once stopped (buildDone).
    it->state->cancel.store(false);
    return *it;
}

void ClipAnalyser::startBuilds() {
    int background = 0;
    for (const Build& b : std::as_const(m_builds))
        background += b.running && !b.beyondLimit;
    for (auto at = m_buildQueue.begin(); at != m_buildQueue.end();) {
        Build& b = m_builds[*at];
        if (!b.waited() && background >= m_backgroundLimit) {
            ++at;
            continue;
        }
        b.beyondLimit = b.waited() && background >= m_backgroundLimit;
        background += !b.beyondLimit;
        const QString path = *at;
        at = m_buildQueue.erase(at);
        runBuild(path, b);
    }
}

void ClipAnalyser::runBuild(const QString& path, Build& b) {
    b.running = true;
    const Known* k = known(path);
    const bool needLoudness = !k || !k->loudness.count({0, 0});
    const std::string folder = m_peakFolder.toStdString();
    std::shared_ptr<BuildState> state = b.state;
    m_passes->start([this, path, folder, needLoudness, state] {
        lowerThisThread();
        using Kept = std::shared_ptr<const media::Peaks>;
        auto post = [this, path, state](Kept peaks, std::int64_t length, bool complete) {
            QMetaObject::invokeMethod(
                this,
                [this, path, state, peaks, length, complete] {
                    buildPeaks(path, state, peaks, length, complete);
                },
                Qt::QueuedConnection);
        };
        BuildResult r;
        if (state->cancel.load()) { // let go, or the analyser goes, before its turn came
            r.cancelled = true;
            QMetaObject::invokeMethod(
                this, [this, path, state, r] { buildDone(path, state, r); }, Qt::QueuedConnection);
            return;
        }
        const std::string file = path.toStdString();
        const std::optional<Identity> before = identityOf(path);
        const std::optional<media::FileStamp> stamp = media::stampOf(file);
        if (stamp && !folder.empty()) {
            if (std::optional<media::Peaks> kept = media::loadPeaks(folder, file, *stamp)) {
                r.peaks = std::make_shared<const media::Peaks>(std::move(*kept));
                r.stored = true;
                if (needLoudness)
                    r.loudness = r.peaks->loudness; // kept with the peaks by an earlier pass
                post(r.peaks, r.peaks->frames, true);
            }
        }
        if (!r.peaks || (needLoudness && !r.loudness)) {
            try {
                std::optional<media::ClipMeasures> measured = media::measureClip(
                    file,
                    [&](const media::Peaks& partial, std::int64_t length) {
                        if (!r.peaks && state->progress.load())
                            post(std::make_shared<const media::Peaks>(partial), length, false);
                    },
                    &state->cancel);
                if (!measured) {
                    r.cancelled = true;
                } else {
                    if (needLoudness)
                        r.loudness = measured->loudness;
                    // Kept only when the file stayed the same throughout; a failed write
                    // costs nothing but a decode the next time. Kept peaks without the
                    // loudness are kept again with it.
                    if (!r.peaks || (!r.peaks->loudness && measured->peaks.loudness)) {
                        r.stored = stamp && !folder.empty() && media::stampOf(file) == stamp &&
                                   media::storePeaks(folder, file, *stamp, measured->peaks);
                        if (r.stored)
                            media::prunePeaks(folder, kPeakFolderBytes);
                        r.peaks = std::make_shared<const media::Peaks>(std::move(measured->peaks));
                    }
                }
            } catch (const media::OpenError& e) {
                r.error = QString::fromStdString(e.what());
            } catch (...) {
                r.error = QStringLiteral("クリップを解析できません: ") + path;
            }
        }
        if (r.error.isEmpty() && !r.cancelled) {
            r.identity = identityOf(path);
            if (!before || !r.identity || !(*before == *r.identity))
                r.identity.reset();
        }
        QMetaObject::invokeMethod(
            this, [this, path, state, r] { buildDone(path, state, r); }, Qt::QueuedConnection);
    });
}

void ClipAnalyser::buildPeaks(const QString& path, const std::shared_ptr<BuildState>& state,
                              const std::shared_ptr<const media::Peaks>& peaks, std::int64_t length,
                              bool complete) {
    auto it = m_builds.find(path);
    if (it == m_builds.end() || it->state != state)
        return;
    if (!complete) {
        const QList<int> waiting = it->columns; // a receiver may ask for more meanwhile
        for (int columns : waiting)
            emit overviewProgress(path, media::overviewOf(*peaks, columns, length, false));
        return;
    }
    it->peaks = peaks;
    const QList<int> waiting = std::exchange(it->columns, {});
    it->state->progress.store(false);
    for (int columns : waiting)
        emit overviewReady(path, media::overviewOf(*peaks, columns));
}

void ClipAnalyser::buildDone(const QString& path, const std::shared_ptr<BuildState>& state,
                             const BuildResult& result) {
    auto it = m_builds.find(path);
    if (it == m_builds.end() || it->state != state)
        return;
    if (result.cancelled) {
        if (it->pads.isEmpty() && !it->waited()) {
            m_builds.erase(it);
        } else { // wanted again after it stopped: from the start
            const bool progress = state->progress.load();
            it->state = std::make_shared<BuildState>();
            it->state->progress.store(progress);
            it->running = false;
            m_buildQueue.prepend(path);
        }
        startBuilds();
        return;
    }
    const Build b = *it;
    m_builds.erase(it);
    if (!result.error.isEmpty()) {
        if (b.waited())
            emit failed(path, result.error);
        startBuilds();
        return;
    }
    Known* entry = nullptr;
    if (result.identity) {
        entry = known(path);
        if (!entry) {
            Known fresh;
            fresh.identity = *result.identity;
            entry = &*m_known.insert(path, fresh);
        } else if (!(entry->identity == *result.identity)) {
            entry = nullptr;
        }
    }
    std::optional<media::LoudnessFigures> loudness = result.loudness;
    if (entry) {
        if (loudness)
            entry->loudness[{0, 0}] = *loudness;
        else if (auto f = entry->loudness.find({0, 0}); f != entry->loudness.end())
            loudness = f->second;
        // Peaks a view showed stay at hand for its next width; the others are in the folder.
        if (b.viewed || !result.stored)
            entry->peaks = result.peaks;
    }
    for (int columns : b.columns)
        emit overviewReady(path, media::overviewOf(*result.peaks, columns));
    if (b.loudnessWanted && loudness)
        emit loudnessReady(path, {}, *loudness);
    startBuilds();
}
