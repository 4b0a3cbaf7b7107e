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

// An overview job's answer: the clip's peaks, to keep, and the overview asked for.
struct OverviewAnswer {
    std::shared_ptr<const media::Peaks> peaks;
    media::Overview overview;
};

QString spanKey(media::Span span) {
    return QString::number(span.fromMs) + QLatin1Char('-') + QString::number(span.toMs);
}

} // namespace

ClipAnalyser::ClipAnalyser(QObject* parent)
    : QObject(parent), m_pool(new QThreadPool(this)), m_quick(new QThreadPool(this)),
      m_cancel(std::make_shared<std::atomic<bool>>(false)),
      m_peakFolder(QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
                   QStringLiteral("/varnel/cuedeck/peaks")) {
    qRegisterMetaType<media::Span>();
    qRegisterMetaType<media::LoudnessFigures>();
    qRegisterMetaType<media::AudibleSpan>();
    qRegisterMetaType<media::Overview>();
    // One core stays for the window and the engine's worker.
    m_pool->setMaxThreadCount(std::max(1, QThread::idealThreadCount() - 1));
    m_quick->setMaxThreadCount(1);
}

ClipAnalyser::~ClipAnalyser() {
    m_cancel->store(true);
    m_pool->waitForDone();
    m_quick->waitForDone();
}

void ClipAnalyser::cancelAll() {
    m_cancel->store(true);
    m_cancel = std::make_shared<std::atomic<bool>>(false);
    ++m_generation;
    m_running.clear();
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
    // The decoding job reads the peak file first, but at a lower priority it can wait a long
    // while for a core on a busy machine (and behind a job that runs), so the peak file is also
    // read on the quick pool; the first answer is the one given.
    using Kept = std::shared_ptr<const media::Peaks>;
    const std::string folder = m_peakFolder.toStdString();
    const auto answered = std::make_shared<bool>(false);
    measureOverview(path, columns, answered);
    start<Kept>(
        QStringLiteral("peak file ") + QString::number(columns) + QLatin1Char(' ') + path, path,
        [folder](const std::string& file, const std::atomic<bool>*) -> std::optional<Kept> {
            const std::optional<media::FileStamp> stamp = media::stampOf(file);
            if (!stamp || folder.empty())
                return Kept();
            std::optional<media::Peaks> kept = media::loadPeaks(folder, file, *stamp);
            return kept ? std::make_shared<const media::Peaks>(std::move(*kept)) : Kept();
        },
        [this, path, columns, answered](Known* entry, const Kept& kept) {
            if (!kept || std::exchange(*answered, true))
                return;
            if (entry)
                entry->peaks = kept;
            emit overviewReady(path, media::overviewOf(*kept, columns));
        },
        true);
}

void ClipAnalyser::measureOverview(const QString& path, int columns,
                                   const std::shared_ptr<bool>& answered) {
    const quint64 generation = m_generation;
    const std::string folder = m_peakFolder.toStdString();
    start<OverviewAnswer>(
        QStringLiteral("overview ") + QString::number(columns) + QLatin1Char(' ') + path, path,
        [this, path, columns, generation,
         folder](const std::string& file,
                 const std::atomic<bool>* cancel) -> std::optional<OverviewAnswer> {
            const std::optional<media::FileStamp> stamp = media::stampOf(file);
            if (stamp && !folder.empty()) {
                if (std::optional<media::Peaks> kept = media::loadPeaks(folder, file, *stamp)) {
                    auto peaks = std::make_shared<const media::Peaks>(std::move(*kept));
                    return OverviewAnswer{peaks, media::overviewOf(*peaks, columns)};
                }
            }
            std::optional<media::Peaks> measured = media::measurePeaks(
                file,
                [this, path, columns, generation, cancel](const media::Peaks& partial,
                                                          std::int64_t length) {
                    if (cancel->load())
                        return;
                    QMetaObject::invokeMethod(
                        this,
                        [this, path, generation,
                         o = media::overviewOf(partial, columns, length, false)] {
                            if (generation == m_generation)
                                emit overviewProgress(path, o);
                        },
                        Qt::QueuedConnection);
                },
                cancel);
            if (!measured)
                return std::nullopt;
            // Kept only when the file stayed the same throughout; a failed write costs
            // nothing but a decode the next time.
            if (stamp && !folder.empty() && media::stampOf(file) == stamp &&
                media::storePeaks(folder, file, *stamp, *measured))
                media::prunePeaks(folder, kPeakFolderBytes);
            auto peaks = std::make_shared<const media::Peaks>(std::move(*measured));
            return OverviewAnswer{peaks, media::overviewOf(*peaks, columns)};
        },
        [this, path, answered](Known* entry, const OverviewAnswer& answer) {
            if (entry)
                entry->peaks = answer.peaks;
            if (!std::exchange(*answered, true))
                emit overviewReady(path, answer.overview);
        });
}
