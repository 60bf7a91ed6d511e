#include "app/station_window.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <cmath>

#include "app/about_dlg.h"
#include "app/accessibility.h"
#include "app/hid_service.h"
#include "app/message_box.h"
#include "app/remote_picture.h"
#include "app/station_picture.h"
#include "decode/status_texts.h"
#include "platform/process/display_escape.h"
#include "platform/process/running.h"
#include "platform/process/trace.h"
#include "platform/text/translatable.h"
#include "receiver/hid_manager.h"
#include "receiver/key_names.h"
#include "receiver/receiver_monitor.h"
#include "service/service_config.h"
#include "service/token_verification.h"
#include "station/receiver_session.h"
#include "station/results_store_sqlite.h"
#include "ui_station_window.h"

namespace {

constexpr std::size_t kMaxSerialBytes = 64;

QString Q(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

// A status or verdict line of the layers below, in the user's language.
QString Shown(const std::string& s) {
    return QCoreApplication::translate(kStatusTextContext, s.c_str());
}

std::string S(const QString& s) {
    const QByteArray bytes = s.toUtf8();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

bool IsReceiverStatus(int code) {
    return code == RECEIVER_READING || code == RECEIVER_WAITING || code == RECEIVER_ENDED;
}

// The verification line of the last call, in the main window's words.
std::string VerifyLine(const RunRecord& record) {
    if (record.serviceCalls.empty())
        return {};
    const std::string& outcome = record.serviceCalls.back().outcome;
    if (outcome == "passed")
        return VerifyText(VerifyOutcome::Passed);
    if (outcome == "bound")
        return VerifyText(VerifyOutcome::Bound);
    if (outcome == "not_passed")
        return VerifyText(VerifyOutcome::NotPassed);
    if (outcome == "network_failure")
        return VerifyText(VerifyOutcome::NetworkFailure);
    if (outcome == "exception")
        return VerifyText(VerifyOutcome::Exception);
    return {};
}

const char* StepText(EolStep step) {
    switch (step) {
        case EolStep::Receivers:
            return QT_TRANSLATE_NOOP("CStationWnd", "Checking the receivers");
        case EolStep::Keys:
            return QT_TRANSLATE_NOOP("CStationWnd", "Press every key once");
        case EolStep::Token:
            return QT_TRANSLATE_NOOP("CStationWnd", "Press the token key");
        case EolStep::Calibration:
            return QT_TRANSLATE_NOOP("CStationWnd", "Calibrating the token");
        case EolStep::Done:
            return QT_TRANSLATE_NOOP("CStationWnd", "Done");
    }
    return "";
}

}  // namespace

// Between the receiver threads and the run: keeps the receivers' last status codes for
// the status lines (the run keeps what it decides on, not the lines) and forwards
// everything unchanged, on the caller's thread.
class StationRelay : public IMainDialog {
public:
    StationRelay(IMainDialog& run, std::function<void()> changed)
        : m_run(run), m_changed(std::move(changed)) {}

    void ShowIrStatus(int status) override {
        if (IsReceiverStatus(status) && !m_frozen.load())
            m_ir.store(status);
        m_run.ShowIrStatus(status);
        m_changed();
    }
    void ShowGameStatus(int status) override {
        if (IsReceiverStatus(status) && !m_frozen.load())
            m_game.store(status);
        m_run.ShowGameStatus(status);
        m_changed();
    }
    void HighlightKey(KeyId key) override { m_run.HighlightKey(key); }
    void ClearHighlight() override { m_run.ClearHighlight(); }
    void ShowTokenResult(int result) override {
        if (result >= TOKEN_OK && result <= TOKEN_BAD_LENGTH)
            m_token.store(result);
        m_run.ShowTokenResult(result);
        m_changed();
    }
    void OnTokenTaken(const char* digits) override { m_run.OnTokenTaken(digits); }

    // The lines stay as the run saw them: the threads' own end is not the receivers'.
    void Freeze() { m_frozen.store(true); }

    int Ir() const { return m_ir.load(); }
    int Game() const { return m_game.load(); }
    int Token() const { return m_token.load(); }

private:
    IMainDialog& m_run;
    const std::function<void()> m_changed;
    std::atomic<int> m_ir{-1};
    std::atomic<int> m_game{-1};
    std::atomic<int> m_token{-1};
    std::atomic<bool> m_frozen{false};
};

QtEolHost::~QtEolHost() = default;

void QtEolHost::Post(std::function<void()> call) {
    QMetaObject::invokeMethod(m_context, std::move(call), Qt::QueuedConnection);
}

void QtEolHost::SetTimer(int id, std::chrono::milliseconds period, std::function<void()> fire) {
    auto timer = std::make_unique<QTimer>();
    timer->setInterval(period);
    QObject::connect(timer.get(), &QTimer::timeout, m_context, std::move(fire));
    timer->start();
    m_timers[id] = std::move(timer);
}

void QtEolHost::KillTimer(int id) {
    // A timer may end itself from its own slot: it goes once that returns.
    if (auto it = m_timers.find(id); it != m_timers.end()) {
        it->second->stop();
        it->second.release()->deleteLater();
        m_timers.erase(it);
    }
}

CStationWnd::CStationWnd(IServiceControl& services, StationOptions options, QWidget* parent)
    : QDialog(parent),
      m_ui(std::make_unique<Ui::CStationWnd>()),
      m_services(services),
      m_options(std::move(options)) {
    InstallDialogFontFallback();
    InstallAccessibleInterfaces();
    m_ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint | Qt::WindowMaximizeButtonHint);
    setWindowIcon(LoadProgramIcon());
    m_statePath = m_options.statePath.empty() ? StationStatePath() : m_options.statePath;

    m_tick.setInterval(kTickPeriod);
    connect(&m_tick, &QTimer::timeout, this, &CStationWnd::OnTick);
    connect(m_ui->serialEdit, &QLineEdit::returnPressed, this, &CStationWnd::OnSerialEntered);
    connect(m_ui->operatorEdit, &QLineEdit::returnPressed, this, &CStationWnd::OnOperatorEntered);
    connect(m_ui->operatorEdit, &QLineEdit::editingFinished, this, &CStationWnd::OnOperatorEntered);
    // Whatever has the focus, it comes back to the serial field (the scanner's).
    m_ui->serialEdit->installEventFilter(this);
}

CStationWnd::~CStationWnd() {
    if (m_run && !m_run->Finished())
        m_run->Abort("the station window was closed");
    if (m_session)
        m_session->Stop();
}

int CStationWnd::DoModal() {
    OnInitDialog();
    return exec();
}

void CStationWnd::OnInitDialog() {
    std::string error;
    const ServiceConfig config = LoadServiceConfig(ConfigEnvironment::FromProcess());
    m_results = OpenResults(m_options.db, config.settings.results, &error);
    if (!m_results.store)
        m_storeError = error;
    m_ui->operatorEdit->setText(Q(RememberedOperator(m_statePath)));
    m_ui->stationLabel->setText(Q(DefaultStation()));
    ShowStore();
    ClearRunFields();
    m_openedAt = UtcNow();
    ShowCounts();

    // As large as the screen allows, never larger: the picture scales with it.
    if (QScreen* s = screen()) {
        const QRect available = s->availableGeometry();
        resize(std::min(width(), available.width()), std::min(height(), available.height()));
        move(available.center() - rect().center());
    }
    FocusSerial();
}

void CStationWnd::ShowStore() {
    if (!m_results.store) {
        m_ui->storeLabel->setText(tr("No results store: %1").arg(Q(m_storeError)));
        return;
    }
    QString text = tr("Records: %1").arg(Q(m_results.where));
    if (m_results.local) {
        if (const std::optional<std::int64_t> waiting = m_results.local->PendingCount();
            waiting && *waiting > 0)
            text += tr(" (%1 waiting to be sent)").arg(*waiting);
    }
    m_ui->storeLabel->setText(text);
}

void CStationWnd::ShowCounts() {
    if (!m_results.store)
        return;
    RunFilter filter;
    filter.since = m_openedAt;
    filter.station = DefaultStation();
    const std::optional<ResultsSummary> summary = m_results.store->Summarize(filter);
    if (!summary) {
        m_ui->countsLabel->setText(tr("Counts unknown: %1").arg(Q(m_results.store->LastError())));
        return;
    }
    const auto passed = summary->byOutcome.find("PASS");
    const std::string yield =
        summary->units == 0 ? std::string("-")
                            : std::to_string(std::lround(summary->firstPassYield * 100)) + "%";
    m_ui->countsLabel->setText(
        tr("Since opened: units %1, passed %2, first-pass yield %3, retests %4")
            .arg(summary->units)
            .arg(passed == summary->byOutcome.end() ? 0 : passed->second)
            .arg(Q(yield))
            .arg(summary->retests));
}

void CStationWnd::FocusSerial() {
    m_ui->serialEdit->setFocus(Qt::OtherFocusReason);
}

bool CStationWnd::eventFilter(QObject* watched, QEvent* e) {
    if (watched == m_ui->serialEdit && e->type() == QEvent::FocusOut && !m_exiting &&
        !m_ui->operatorEdit->hasFocus()) {
        QTimer::singleShot(0, this, [this] {
            if (!m_ui->operatorEdit->hasFocus() && isActiveWindow())
                FocusSerial();
        });
    }
    return QDialog::eventFilter(watched, e);
}

void CStationWnd::OnOperatorEntered() {
    const std::string id = S(m_ui->operatorEdit->text().trimmed());
    std::string error;
    if (id != RememberedOperator(m_statePath) && !m_statePath.empty() &&
        !RememberOperator(m_statePath, id, &error))
        Trace("[KEYWARDEN] The operator id is not remembered: %s", error.c_str());
    FocusSerial();
}

void CStationWnd::OnSerialEntered() {
    if (Running())
        return;
    const std::string serial = S(m_ui->serialEdit->text().trimmed());
    StartRun(serial);
}

bool CStationWnd::StartRun(const std::string& labelSerial) {
    if (Running() || m_exiting)
        return false;
    if (!m_results.store) {
        ClearRunFields();
        m_ui->verdictLabel->setText(tr("✘ NOT STARTED"));
        m_ui->whyLabel->setText(tr("no results store: %1").arg(Q(m_storeError)));
        return false;
    }
    if (labelSerial.size() > kMaxSerialBytes || EscapeForDisplay(labelSerial) != labelSerial ||
        labelSerial.find('\\') != std::string::npos) {
        ClearRunFields();
        m_ui->verdictLabel->setText(tr("✘ NOT STARTED"));
        m_ui->whyLabel->setText(tr("the label serial is not plain text of at most 64 bytes"));
        m_ui->serialEdit->selectAll();
        return false;
    }
    std::string error;
    const ServiceConfig config = LoadServiceConfig(ConfigEnvironment::FromProcess());
    const std::string keyText =
        m_options.keys ? *m_options.keys
                       : (config.settings.testKeys.empty() ? "all" : config.settings.testKeys);
    const std::optional<std::vector<KeyId>> keys = ParseKeySelection(keyText, &error);
    if (!keys) {
        ClearRunFields();
        m_ui->verdictLabel->setText(tr("✘ NOT STARTED"));
        m_ui->whyLabel->setText(tr("keys: %1").arg(Q(error)));
        return false;
    }
    // Records that waited for the shared database go first.
    if (m_results.flush) {
        int delivered = 0;
        int left = 0;
        m_results.flush(&delivered, &left, &error);
    }

    EolSettings settings;
    settings.station = DefaultStation();
    settings.operatorId = S(m_ui->operatorEdit->text().trimmed());
    settings.labelSerial = labelSerial;
    settings.version = m_options.version;
    settings.keys = *keys;
    settings.keyTimeout = m_options.keyTimeout;

    ClearRunFields();
    m_ui->serialEdit->setReadOnly(true);
    m_run = std::make_unique<EndOfLineRun>(settings, [this] { RenderLater(); });
    m_run->SetHost(&m_host);
    m_relay = std::make_unique<StationRelay>(*m_run, [this] { RenderLater(); });
    if (!m_results.store->Begin(m_run->Record()))
        Trace("[KEYWARDEN] The run's start is not recorded: %s",
              m_results.store->LastError().c_str());

    // The last unit's threads have been joined; their stop must not hold these.
    ResumeRunning();
    m_session = std::make_unique<ReceiverSession>(*m_relay);
    HidSystem& hid = m_options.hid != nullptr ? *m_options.hid : DefaultHidSystem();
    if (m_run->TakeReceivers(ExamineReceivers(hid)) && !m_session->Start())
        m_run->Abort("cannot start the receiver threads");
    m_tick.start();
    Render();
    return true;
}

void CStationWnd::OnTick() {
    if (!m_run)
        return;
    m_run->Tick();
    Render();
    if (m_run->Finished() && Running())
        EndRun();
}

void CStationWnd::EndRun() {
    m_tick.stop();
    m_relay->Freeze();
    // Cancels a verification that still runs.
    m_session->Stop();
    m_session.reset();

    RunRecord record = m_run->Record();
    QString stored;
    if (m_results.store->Finish(record)) {
        stored = tr("Record written to %1").arg(Q(m_results.where));
        std::string why;
        if (m_results.spooled && m_results.spooled(&why))
            stored = tr("Record kept in the local store, waiting for %1 (%2)")
                         .arg(Q(m_results.where), Q(why));
    } else {
        stored = tr("The record is NOT stored: %1").arg(Q(m_results.store->LastError()));
    }
    m_lastRecord = record;
    Render();
    ShowVerdict(record, stored);
    ShowStore();
    ShowCounts();
    m_ui->serialEdit->setReadOnly(false);
    m_ui->serialEdit->clear();
    FocusSerial();
}

void CStationWnd::ShowVerdict(const RunRecord& record, const QString& stored) {
    QString text;
    QString colour;
    switch (record.outcome) {
        case RunOutcome::Pass:
            text = tr("✔ PASS");
            colour = "#1b7f2a";
            break;
        case RunOutcome::Fail:
            text = tr("✘ FAIL");
            colour = "#b00020";
            break;
        case RunOutcome::Error:
            text = tr("✘ ERROR");
            colour = "#b00020";
            break;
        case RunOutcome::Aborted:
            text = tr("■ ABORTED");
            colour = "#8a5a00";
            break;
        case RunOutcome::Started:
            break;
    }
    m_ui->verdictLabel->setText(text);
    m_ui->verdictLabel->setStyleSheet("color: " + colour);
    m_ui->whyLabel->setText(Q(record.why));
    m_ui->recordLabel->setText(stored);
}

void CStationWnd::ClearRunFields() {
    for (QLabel* label :
         {m_ui->irStatusLabel, m_ui->gameStatusLabel, m_ui->stepLabel, m_ui->countdownLabel,
          m_ui->missingLabel, m_ui->flaggedLabel, m_ui->tokenSerialLabel, m_ui->tokenPasswordLabel,
          m_ui->tokenStatusLabel, m_ui->verifyResultLabel, m_ui->serviceResultLabel,
          m_ui->verdictLabel, m_ui->whyLabel, m_ui->recordLabel}) {
        label->clear();
    }
    m_ui->verdictLabel->setStyleSheet({});
    m_ui->remoteView->SetMarks({});
}

void CStationWnd::RenderLater() {
    // Any thread, never waits: one render queued at a time is enough.
    if (m_renderPosted.exchange(true))
        return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_renderPosted.store(false);
            Render();
        },
        Qt::QueuedConnection);
}

void CStationWnd::Render() {
    if (!m_run)
        return;
    const EndOfLineRun::View view = m_run->Snapshot();
    if (m_relay) {
        const int ir = m_relay->Ir();
        const int game = m_relay->Game();
        m_ui->irStatusLabel->setText(ir < 0 ? QString() : Shown(IrStatusText(ir)));
        m_ui->gameStatusLabel->setText(game < 0 ? QString() : Shown(GameStatusText(game)));
        const int token = m_relay->Token();
        m_ui->tokenStatusLabel->setText(token < 0 ? QString() : Shown(TokenResultText(token)));
    }
    m_ui->stepLabel->setText(view.finished ? QString() : tr(StepText(view.step)));
    if (!view.finished && view.step != EolStep::Receivers) {
        const long long seconds = std::chrono::ceil<std::chrono::seconds>(view.left).count();
        m_ui->countdownLabel->setText(tr("%1 s left").arg(seconds));
    } else {
        m_ui->countdownLabel->clear();
    }
    if (view.finished && view.missing.empty() && !view.pressed.empty())
        m_ui->missingLabel->setText(
            (view.pressed.size() == 1 ? tr("All %1 key pressed") : tr("All %1 keys pressed"))
                .arg(view.pressed.size()));
    else
        m_ui->missingLabel->setText(
            view.missing.empty() || view.step == EolStep::Receivers
                ? QString()
                : tr("Missing (%1): %2").arg(view.missing.size()).arg(Q(KeyNames(view.missing))));
    m_ui->flaggedLabel->setText(
        view.flagged.empty() ? QString()
                             : tr("Flagged (double or stuck): %1").arg(Q(KeyNames(view.flagged))));
    m_ui->tokenSerialLabel->setText(Q(view.tokenSerial));
    m_ui->tokenPasswordLabel->setText(Q(view.tokenPassword));
    m_ui->verifyResultLabel->setText(Shown(VerifyLine(m_run->Record())));
    m_ui->serviceResultLabel->setText(view.serviceResult ? QString::number(*view.serviceResult)
                                                         : QString());
    m_ui->remoteView->SetMarks({view.held.value_or(0), view.pressed, view.flagged});
}

void CStationWnd::OnEscape() {
    if (!Running()) {
        OnExit();
        return;
    }
    if (ShowMessageBox(this, tr("Abort the test of this unit? It is recorded as ABORTED."),
                       tr("Abort the run"), BoxIcon::None, BoxButtons::YesNo) != BoxAnswer::Yes) {
        FocusSerial();
        return;
    }
    // The run may have ended while the box was up; then its verdict stands.
    if (Running() && m_run && !m_run->Finished()) {
        m_run->Abort("aborted by the operator");
        OnTick();
    }
}

void CStationWnd::OnExit() {
    if (m_exiting)
        return;
    m_exiting = true;
    if (Running()) {
        m_run->Abort("the station window was closed");
        EndRun();
    }
    RestartHidService(GetHidManager(), m_services);
    QDialog::done(QDialog::Rejected);
}

void CStationWnd::keyPressEvent(QKeyEvent* e) {
    // Escape in the operator field drops the edit: leaving is the serial field's Escape.
    if (e->key() == Qt::Key_Escape && m_ui->operatorEdit->hasFocus()) {
        e->accept();
        m_ui->operatorEdit->setText(Q(RememberedOperator(m_statePath)));
        FocusSerial();
        return;
    }
    if (e->key() == Qt::Key_Escape) {
        e->accept();
        OnEscape();
        return;
    }
    if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) {
        e->accept();  // never the dialog's default button: the exit steps must run
        return;
    }
    QDialog::keyPressEvent(e);
}

void CStationWnd::reject() {
    OnExit();
}

void CStationWnd::accept() {}
