#include <QAbstractButton>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSet>
#include <QSettings>
#include <QSlider>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QUrl>

#include "app/image_pane.h"
#include "app/main_window.h"
#include "fake_dialogs.h"

using Properties = QVariantMap;

namespace {

const QString kAiHint =
    QStringLiteral("Set the strength of the automatic optimizer. Max will produce more image degradation");

Properties Slider(int minimum, int maximum, int value)
{
    return {{"minimum", minimum},
            {"maximum", maximum},
            {"value", value},
            {"singleStep", 1},
            {"pageStep", 2},
            {"orientation", QVariant::fromValue(Qt::Horizontal)},
            {"tickPosition", QVariant::fromValue(QSlider::TicksBelow)},
            {"tickInterval", 1}};
}

Properties Memo(Qt::ScrollBarPolicy vertical)
{
    return {{"readOnly", true},
            {"plainText", QString()},
            {"verticalScrollBarPolicy", QVariant::fromValue(vertical)},
            {"horizontalScrollBarPolicy", QVariant::fromValue(Qt::ScrollBarAlwaysOff)}};
}

Properties Check(const char* text)
{
    return {{"text", QString::fromLatin1(text)}, {"checked", true}};
}

Properties Text(const char* text)
{
    return {{"text", QString::fromLatin1(text)}};
}

Properties Title(const char* title)
{
    return {{"title", QString::fromLatin1(title)}};
}

const Properties kSpeedButton{{"text", QStringLiteral("...")}, {"focusPolicy", QVariant::fromValue(Qt::NoFocus)}};
const Properties kEmptyEdit{{"text", QString()}};

// Collects the URLs the program hands to the desktop instead of opening them.
class UrlRecorder : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened.append(url); }
};

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        dialogs_ = std::make_unique<FakeDialogs>();
        window_ = std::make_unique<TMainTramblix>(*dialogs_);
    }

    void cleanup()
    {
        window_.reset();
        QVERIFY(dialogs_->shown.empty());  // nothing here may raise a message box
    }

    // A first start shows the form's defaults; a later one what the user left: sliders, options,
    // folders and the window's size.
    void settingsRemembered_data()
    {
        QTest::addColumn<bool>("stored");
        QTest::newRow("first start") << false;
        QTest::newRow("second start") << true;
    }

    void settingsRemembered()
    {
        QFETCH(bool, stored);
        QTemporaryDir dir;
        const QString file = dir.filePath("settings.ini");
        if (stored) {
            TMainTramblix before(*dialogs_);
            before.UseSettings(std::make_unique<QSettings>(file, QSettings::IniFormat));
            before.findChild<QSlider*>("CompressionLevelSlider")->setValue(8);
            before.findChild<QSlider*>("AISingleTrackBar")->setValue(2);
            before.findChild<QCheckBox*>("StripMetadataBatchBox")->setChecked(true);
            before.findChild<QCheckBox*>("LosslessSingleImageBox")->setChecked(true);
            before.findChild<QCheckBox*>("RecurseDirBox")->setChecked(false);
            before.findChild<QLineEdit*>("InputEdit")->setText(dir.path() + "/in/");
            before.resize(600, 650);
            QVERIFY(before.close());
        }
        TMainTramblix after(*dialogs_);
        after.UseSettings(std::make_unique<QSettings>(file, QSettings::IniFormat));
        QCOMPARE(after.findChild<QSlider*>("CompressionLevelSlider")->value(), stored ? 8 : 5);
        QCOMPARE(after.findChild<QSlider*>("CompressionLevelSingleImageSlider")->value(), 5);
        QCOMPARE(after.findChild<QSlider*>("AISingleTrackBar")->value(), stored ? 2 : 0);
        QCOMPARE(after.findChild<QCheckBox*>("StripMetadataBatchBox")->isChecked(), stored);
        QCOMPARE(after.findChild<QCheckBox*>("LosslessSingleImageBox")->isChecked(), stored);
        QCOMPARE(after.findChild<QSlider*>("AISingleTrackBar")->isEnabled(), !stored);  // lossless takes none
        QCOMPARE(after.findChild<QCheckBox*>("RecurseDirBox")->isChecked(), !stored);
        QCOMPARE(after.findChild<QLineEdit*>("InputEdit")->text(), stored ? dir.path() + "/in/" : QString());
        QCOMPARE(after.findChild<QCheckBox*>("OutputLogBox")->isChecked(), true);
        if (stored)
            QCOMPARE(after.size(), QSize(600, 650));
    }

    // Settings written under the keys earlier versions used are read as before; a target greys
    // the level and the lossless switch, and a stored lossless rewrite with a target keeps the
    // rewrite alone, as the controls never allow both.
    void storedOptionsKeys()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath("settings.ini");
        {
            QSettings old(file, QSettings::IniFormat);
            old.setValue("single/level", 3);
            old.setValue("single/targetLook", 2);
            old.setValue("single/encoder", 1);
            old.setValue("directory/aiLevel", 4);
            old.setValue("directory/lossless", true);
            old.setValue("directory/targetLook", 1);
            old.setValue("directory/keepDates", true);
        }
        TMainTramblix window(*dialogs_);
        window.UseSettings(std::make_unique<QSettings>(file, QSettings::IniFormat));
        QCOMPARE(window.findChild<QSlider*>("CompressionLevelSingleImageSlider")->value(), 3);
        QCOMPARE(window.findChild<QComboBox*>("TargetLookSingleImageBox")->currentIndex(), 2);
        QCOMPARE(window.findChild<QComboBox*>("EncoderSingleImageBox")->currentIndex(), 1);
        QVERIFY(!window.findChild<QSlider*>("CompressionLevelSingleImageSlider")->isEnabled());
        QVERIFY(!window.findChild<QCheckBox*>("LosslessSingleImageBox")->isEnabled());
        QVERIFY(window.findChild<QSlider*>("AISingleTrackBar")->isEnabled());
        QCOMPARE(window.findChild<QSlider*>("AIBatchTrackBar")->value(), 4);
        QVERIFY(window.findChild<QCheckBox*>("LosslessBatchBox")->isChecked());
        QCOMPARE(window.findChild<QComboBox*>("TargetLookBatchBox")->currentIndex(), 0);
        QVERIFY(!window.findChild<QComboBox*>("TargetLookBatchBox")->isEnabled());
        QVERIFY(window.findChild<QCheckBox*>("KeepDatesBatchBox")->isChecked());
    }

    void window()
    {
        QCOMPARE(window_->windowTitle(), QStringLiteral("JPEG Tramblix "));
        QCOMPARE(window_->size(), QSize(534, 700));
        QVERIFY(window_->minimumSize() != window_->maximumSize());

        auto* pages = window_->findChild<QTabWidget*>("MainPageCtrl");
        QVERIFY(pages);
        QCOMPARE(pages->count(), 2);
        QCOMPARE(pages->widget(0)->objectName(), QStringLiteral("ProcessSheet"));
        QCOMPARE(pages->tabText(0), QStringLiteral("Process Directory"));
        QCOMPARE(pages->widget(1)->objectName(), QStringLiteral("TabSheet1"));
        QCOMPARE(pages->tabText(1), QStringLiteral("Single Image"));
        QCOMPARE(pages->currentWidget()->objectName(), QStringLiteral("TabSheet1"));
    }

    void menu()
    {
        auto* bar = window_->findChild<QMenuBar*>("MainMenu1");
        QVERIFY(bar);
        QCOMPARE(bar->actions().size(), 1);
        auto* help = bar->actions().constFirst()->menu();
        QVERIFY(help);
        QCOMPARE(help->objectName(), QStringLiteral("Help1"));
        QCOMPARE(help->title(), QStringLiteral("&Help"));  // Alt+H

        QStringList entries;
        for (QAction* action : help->actions())
            entries << (action->menu() ? action->menu()->objectName() : action->objectName()) + '=' + action->text();
        QCOMPARE(entries, QStringList({"Manual1=Manual", "Web1=Web", "About1=About"}));

        QStringList web;
        for (QAction* action : help->actions().at(1)->menu()->actions())
            web << action->objectName() + '=' + action->text();
        QCOMPARE(web, QStringList({"MoravelStore1=Moravel Store", "OnlineTrambixs1=Online Trambixs"}));
    }

    void controls_data()
    {
        QTest::addColumn<QString>("className");
        QTest::addColumn<QString>("parentName");
        QTest::addColumn<QRect>("geometry");  // width -1: only the position is given
        QTest::addColumn<Properties>("properties");

        const auto row = [](const char* name, const char* cls, const char* parent, QRect geometry, Properties p) {
            QTest::newRow(name) << QString::fromLatin1(cls) << QString::fromLatin1(parent) << geometry << p;
        };
        const auto at = [](int x, int y) { return QRect(x, y, -1, -1); };

        row("GroupBox5", "QGroupBox", "ProcessSheet", {0, 0, 513, 601}, Title("Run New Batch"));
        row("Label1", "QLabel", "GroupBox5", at(8, 32), Text("Input:"));
        row("InputEdit", "PathEdit", "GroupBox5", {64, 32, 353, 24}, kEmptyEdit);
        row("SpeedButton1", "QToolButton", "GroupBox5", {424, 32, 33, 23}, kSpeedButton);
        row("Label2", "QLabel", "GroupBox5", at(8, 72), Text("Output:"));
        row("OutputEdit", "PathEdit", "GroupBox5", {64, 64, 353, 24}, kEmptyEdit);
        row("SpeedButton2", "QToolButton", "GroupBox5", {424, 67, 33, 23}, kSpeedButton);
        row("GroupBox7", "QGroupBox", "GroupBox5", {8, 104, 481, 73}, Title("Compression Level (1= Min and 10 = Max)"));
        row("CompressionLevelSlider", "QSlider", "GroupBox7", {8, 32, 465, 33}, Slider(1, 10, 5));
        row("GroupBox2", "QGroupBox", "GroupBox5", {8, 192, 481, 73}, Title("AI Level (0= Off and 5 = Max)"));
        row("AIBatchTrackBar", "QSlider", "GroupBox2", {8, 32, 465, 33}, Slider(0, 5, 0));
        row("GroupBox6", "QGroupBox", "GroupBox5", {8, 288, 481, 73}, Title("Output Options"));
        row("RecurseDirBox", "QCheckBox", "GroupBox6", {16, 32, 233, 17}, Check("Recurse through subdirectories"));
        row("GroupBox3", "QGroupBox", "GroupBox5", {8, 376, 481, 177}, Title("Log"));
        row("LogMemo", "QPlainTextEdit", "GroupBox3", {8, 24, 465, 121}, Memo(Qt::ScrollBarAsNeeded));
        row("OutputLogBox", "QCheckBox", "GroupBox3", {8, 152, 201, 17}, Check("Write log"));
        row("RunBtn", "QPushButton", "GroupBox5", {328, 560, 161, 33}, Text("Compress"));

        row("GroupBox10", "QGroupBox", "TabSheet1", {0, 0, 513, 609}, Title("Process Image"));
        row("Label17", "QLabel", "GroupBox10", at(8, 32), Text("Input:"));
        row("InputSingleImageEdit", "PathEdit", "GroupBox10", {64, 32, 393, 24}, kEmptyEdit);
        row("SpeedButton3", "QToolButton", "GroupBox10", {464, 32, 33, 23}, kSpeedButton);
        row("Label19", "QLabel", "GroupBox10", at(8, 72), Text("Output:"));
        row("OutputSingleImageEdit", "PathEdit", "GroupBox10", {64, 64, 393, 24}, kEmptyEdit);
        row("SpeedButton4", "QToolButton", "GroupBox10", {464, 67, 33, 23}, kSpeedButton);
        row("GroupBox11", "QGroupBox", "GroupBox10", {8, 112, 481, 73},
            Title("Compression Level (1= Min and 10 = Max)"));
        row("CompressionLevelSingleImageSlider", "QSlider", "GroupBox11", {8, 32, 465, 33}, Slider(1, 10, 5));
        row("GroupBox1", "QGroupBox", "GroupBox10", {8, 192, 481, 73}, Title("AI Level (0= Off and 5 = Max)"));
        row("AISingleTrackBar", "QSlider", "GroupBox1", {8, 32, 465, 33}, Slider(0, 5, 0));
        row("GroupBox12", "QGroupBox", "GroupBox10", {8, 280, 481, 249}, Title("Preview"));
        row("InputImagePreviewBox", "QCheckBox", "GroupBox12", {16, 18, 113, 17}, Check("Input Image"));
        row("InputStretch", "QCheckBox", "GroupBox12", {139, 18, 78, 17}, Check("Stretch"));
        row("OutputImagePreviewBox", "QCheckBox", "GroupBox12", {264, 16, 105, 17}, Check("Output Image"));
        row("OutputStretch", "QCheckBox", "GroupBox12", {387, 16, 78, 17}, Check("Stretch"));
        row("Panel1", "QFrame", "GroupBox12", {16, 40, 185, 169},
            {{"frameShadow", QVariant::fromValue(QFrame::Sunken)}});
        row("InputImage", "ImagePane", "Panel1", {8, 8, 169, 153}, {});
        row("Panel3", "QFrame", "GroupBox12", {264, 40, 185, 169},
            {{"frameShadow", QVariant::fromValue(QFrame::Sunken)}});
        row("OutputImage", "ImagePane", "Panel3", {8, 8, 169, 153}, {});
        row("Button1", "QPushButton", "GroupBox12", {48, 216, 121, 25}, Text("View Full Size"));
        row("Button2", "QPushButton", "GroupBox12", {296, 216, 121, 25}, Text("View Full Size"));
        row("RunSingleImageBtn", "QPushButton", "GroupBox10", {8, 544, 129, 33}, Text("Compress"));
        row("SingleImageLogMemo", "QPlainTextEdit", "GroupBox10", {160, 536, 329, 57}, Memo(Qt::ScrollBarAlwaysOn));
    }

    void controls()
    {
        QFETCH(QString, className);
        QFETCH(QString, parentName);
        QFETCH(QRect, geometry);
        QFETCH(Properties, properties);

        const QString name = QString::fromLatin1(QTest::currentDataTag());
        auto* widget = window_->findChild<QWidget*>(name);
        QVERIFY2(widget, qPrintable(name));
        QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
        QCOMPARE(widget->parentWidget()->objectName(), parentName);
        QCOMPARE(widget->pos(), geometry.topLeft());
        if (geometry.width() >= 0)
            QCOMPARE(widget->size(), geometry.size());
        for (auto it = properties.cbegin(); it != properties.cend(); ++it)
            QVERIFY2(widget->property(qPrintable(it.key())) == it.value(), qPrintable(it.key()));
        if (auto* pane = qobject_cast<ImagePane*>(widget))
            QVERIFY(pane->picture().isNull());
    }

    // The form's controls keep their hints (new controls may add their own).
    void hints()
    {
        const QMap<QString, QString> expected{
            {"AIBatchTrackBar", kAiHint},
            {"OutputLogBox", "Shows you the files as they are being processed , but slows processing"},
            {"InputSingleImageEdit", "Please select a file to optimize, this file must exist"},
            {"SpeedButton3", "Browse for source file"},
            {"OutputSingleImageEdit", "Please select a file to create an optimized file for"},
            {"SpeedButton4", "Browse for destination file"},
            {"CompressionLevelSingleImageSlider", kAiHint},
            {"AISingleTrackBar", kAiHint},
            {"InputStretch", "Stretch Image for Preview Window"},
            {"OutputStretch", "Stretch Image for Preview Window"},
            {"InputImage", "Click to Enlarge"},
            {"OutputImage", "Click to Enlarge"},
            {"RunSingleImageBtn", "Create the output compressed file from the input file"},
        };
        for (auto it = expected.cbegin(); it != expected.cend(); ++it)
            QCOMPARE(window_->findChild<QWidget*>(it.key())->toolTip(), it.value());
        for (const char* bare : {"InputEdit", "OutputEdit", "RunBtn", "CompressionLevelSlider", "RecurseDirBox",
                                 "LogMemo", "Button1", "Button2", "SingleImageLogMemo"})
            QVERIFY2(window_->findChild<QWidget*>(bare)->toolTip().isEmpty(), bare);
    }

    void tabOrder_data()
    {
        QTest::addColumn<QStringList>("order");
        QTest::newRow("Process Directory")
            << QStringList{"InputEdit",     "OutputEdit",      "RunBtn",  "CompressionLevelSlider",
                           "RecurseDirBox", "AIBatchTrackBar", "LogMemo", "OutputLogBox"};
        QTest::newRow("Single Image") << QStringList{"InputSingleImageEdit",
                                                     "OutputSingleImageEdit",
                                                     "RunSingleImageBtn",
                                                     "CompressionLevelSingleImageSlider",
                                                     "InputImagePreviewBox",
                                                     "InputStretch",
                                                     "OutputImagePreviewBox",
                                                     "OutputStretch",
                                                     "Button1",
                                                     "Button2",
                                                     "SingleImageLogMemo",
                                                     "AISingleTrackBar"};
    }

    void tabOrder()
    {
        QFETCH(QStringList, order);
        auto* first = window_->findChild<QWidget*>(order.constFirst());
        QVERIFY(first);
        QStringList visited;
        QWidget* widget = first;
        do {
            if (order.contains(widget->objectName()))
                visited << widget->objectName();
            widget = widget->nextInFocusChain();
        } while (widget != first);
        QCOMPARE(visited, order);
    }

    // With the layout's fixed positions, the font must leave room for every caption.
    void captionsFit()
    {
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
        // Each page in turn: the option rows are laid out when their page shows.
        window_->findChild<QTabWidget*>("MainPageCtrl")->setCurrentIndex(0);
        QCoreApplication::processEvents();
        QStringList tight;
        for (QWidget* widget : window_->findChildren<QWidget*>()) {
            if (widget->parentWidget()->objectName().endsWith("Options"))
                widget->parentWidget()->layout()->activate();
            int width = 0;
            if (qobject_cast<QLabel*>(widget) || qobject_cast<QCheckBox*>(widget) || qobject_cast<QPushButton*>(widget))
                width = widget->sizeHint().width();
            else if (auto* group = qobject_cast<QGroupBox*>(widget))
                width = group->fontMetrics().horizontalAdvance(group->title()) + 16;
            else
                continue;
            if (width > widget->width() || widget->fontMetrics().height() > widget->height())
                tight << QStringLiteral("%1 needs %2 x %3")
                             .arg(widget->objectName())
                             .arg(width)
                             .arg(widget->fontMetrics().height());
        }
        QVERIFY2(tight.isEmpty(), qPrintable(tight.join(", ")));
    }

    // Grown, the previews and the log take the extra room, the path edits widen, buttons keep
    // their size and nothing leaves its box; back at the starting size every control is where it was.
    void growing()
    {
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
        QHash<QWidget*, QRect> start;
        for (QWidget* widget : window_->findChildren<QWidget*>())
            start.insert(widget, widget->geometry());
        const auto grew = [&](const char* name) {
            auto* widget = window_->findChild<QWidget*>(name);
            return widget->size() - start.value(widget).size();
        };

        window_->resize(934, 1000);
        QTRY_COMPARE(window_->findChild<QWidget*>("MainPageCtrl")->width(),
                     start.value(window_->findChild<QWidget*>("MainPageCtrl")).width() + 400);
        QCOMPARE(grew("LogMemo"), QSize(400, 300));
        QCOMPARE(grew("InputImage"), QSize(200, 300));
        QCOMPARE(grew("OutputImage"), QSize(200, 300));
        for (const char* edit : {"InputEdit", "OutputEdit", "InputSingleImageEdit", "OutputSingleImageEdit"})
            QCOMPARE(grew(edit), QSize(400, 0));
        QStringList wrong;
        for (auto it = start.cbegin(); it != start.cend(); ++it) {
            QWidget* widget = it.key();
            const QString name = widget->objectName();
            if (name.isEmpty() || name.startsWith("qt_") ||
                !widget->parentWidget()->objectName().startsWith("GroupBox"))
                continue;
            if ((qobject_cast<QAbstractButton*>(widget) && widget->size() != it.value().size()) ||
                !widget->parentWidget()->rect().contains(widget->geometry()))
                wrong << name;
        }
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(", ")));
        QVERIFY(!window_->findChild<QWidget*>("Panel1")->geometry().intersects(
            window_->findChild<QWidget*>("Panel3")->geometry()));

        window_->resize(534, 700);
        QTRY_COMPARE(window_->findChild<QWidget*>("InputImage")->geometry(), QRect(8, 8, 169, 153));
        for (auto it = start.cbegin(); it != start.cend(); ++it)
            QVERIFY2(it.key()->geometry() == it.value(), qPrintable(it.key()->objectName()));
    }

    // The log keeps every line and scrolls once they no longer fit.
    void logScrolls()
    {
        window_->show();
        auto* log = window_->findChild<QPlainTextEdit*>("LogMemo");
        window_->findChild<QTabWidget*>("MainPageCtrl")->setCurrentIndex(0);
        for (int line = 0; line < 40; ++line)
            log->appendPlainText(QStringLiteral("line %1").arg(line));
        QTRY_VERIFY(log->verticalScrollBar()->isVisible());
        QCOMPARE(log->blockCount(), 40);
    }

    // A message box is at least as wide as its caption, however short its text.
    void messageFitsCaption()
    {
        QMessageBox box(QMessageBox::NoIcon, "Input and Output Directories are the same", "Short", QMessageBox::Ok);
        FitCaption(box);
        QVERIFY(box.sizeHint().width() > box.fontMetrics().horizontalAdvance(box.windowTitle()));
    }

    // With nothing to show the guide (no handler, no browser) the user is told, not left waiting.
    void manualWithoutBrowser()
    {
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", "");  // no xdg-open, no browser
        window_->findChild<QAction*>("Manual1")->trigger();
        qputenv("PATH", path);
        QCOMPARE(dialogs_->shown.size(), 1u);
        QVERIFY(dialogs_->shown.front().text.endsWith("JT3UserGuide.html"));
        QCOMPARE(dialogs_->shown.front().caption, QStringLiteral("Cannot open the page"));
        dialogs_->shown.clear();
    }

    void helpMenuOpens_data()
    {
        QTest::addColumn<QString>("scheme");
        QTest::newRow("Manual1") << "file";
        QTest::newRow("MoravelStore1") << "https";
        QTest::newRow("OnlineTrambixs1") << "https";
    }

    // The guide is looked for beside the executable whatever the current directory;
    // the web pages lie on the reserved example.org domain.
    void helpMenuOpens()
    {
        QFETCH(QString, scheme);
        UrlRecorder recorder;
        QDesktopServices::setUrlHandler(scheme, &recorder, "open");
        QTemporaryDir elsewhere;
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(elsewhere.path()));

        window_->findChild<QAction*>(QString::fromLatin1(QTest::currentDataTag()))->trigger();

        QDir::setCurrent(previous);
        QDesktopServices::unsetUrlHandler(scheme);
        QCOMPARE(recorder.opened.size(), 1);
        const QUrl url = recorder.opened.constFirst();
        if (scheme == "file") {
            QCOMPARE(url, QUrl::fromLocalFile(QCoreApplication::applicationDirPath() + "/JT3UserGuide.html"));
        } else {
            QCOMPARE(url.scheme(), scheme);
            QVERIFY2(url.host() == "example.org" || url.host().endsWith(".example.org"), qPrintable(url.toString()));
            QVERIFY2(!webPages_.contains(url), "both web entries open the same page");
            webPages_.insert(url);
        }
    }

private:
    std::unique_ptr<FakeDialogs> dialogs_;
    std::unique_ptr<TMainTramblix> window_;
    QSet<QUrl> webPages_;
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
