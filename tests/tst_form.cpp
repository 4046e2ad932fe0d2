// The main window form: the object tree built by Ui_Widget::setupUi, its
// layouts and cells, the fixed properties, style sheets and texts, the
// window icon resource, the state of the stacked pages once shown, and the
// form at the display's scale factor.
#include "highdpi.h"
#include "ui_widget.h"

#include <QtTest>

#include <QHash>
#include <QImage>
#include <QResource>
#include <QStyleOption>
#include <QTranslator>

#include <cstddef>
#include <memory>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

// The Chinese texts of the form, in UTF-8: 仿宋 (FangSong), 选择文件
// (select file) and 发送 (send).
const QString fangSong = QString::fromUtf8("\xe4\xbb\xbf\xe5\xae\x8b");
const QString selectFileText = QString::fromUtf8("\xe9\x80\x89\xe6\x8b\xa9\xe6\x96\x87\xe4\xbb\xb6");
const QString sendText = QString::fromUtf8("\xe5\x8f\x91\xe9\x80\x81");

const char windowSheet[] = "font: 12pt \"\xe4\xbb\xbf\xe5\xae\x8b\";";
const char pageSheet[] = "QPushButton\n{\n\theight:45px;\n\tpadding:10px;\n\t\n}";
const char openSheet[] = "background-color: rgb(255, 0, 0);";
const char progressSheet[] = "QProgressBar\n{\n\tborder:0px;\n\tbackground-color: rgb(255, 255, 255);\n"
                             "\tborder-radius:25px;\n\theight:50px;\n}\nQProgressBar::chunk\n{\n\t\n"
                             "\tbackground-color: rgb(0, 255, 127);\nborder-radius:15px;\n}";

// A built form on its own window. The window is deleted with the holder; the
// form's objects die with it.
struct Form
{
    std::unique_ptr<QWidget> window;
    Ui_Widget ui;

    explicit Form(const QString &initialName = QString()) : window(new QWidget)
    {
        if (!initialName.isEmpty())
            window->setObjectName(initialName);
        ui.setupUi(window.get());
    }

    // The form's QObject members by object name, plus the window as "Widget".
    QHash<QString, QObject *> objects() const
    {
        const Ui_Widget &u = ui;
        QHash<QString, QObject *> map;
        const QList<QObject *> list = {
            u.gridLayout_6, u.stackedWidget, u.page, u.gridLayout_9, u.groupBox,
            u.gridLayout_5, u.gridLayout_4, u.pushButtonOpen, u.comboBoxId, u.pushButtonScan,
            u.groupBox_2, u.gridLayout_3, u.gridLayout, u.pushButtonLoad, u.progressBar,
            u.page_2, u.gridLayout_8, u.widgetLog, u.gridLayout_7, u.lineEditPath,
            u.pushButtonSelect, u.textEdit, u.gridLayout_2, u.lineEditSend, u.pushButtonSend,
        };
        for (QObject *o : list)
            map.insert(o ? o->objectName() : QString(), o);
        map.insert(QStringLiteral("Widget"), window.get());
        return map;
    }

    QObject *object(const QString &name) const { return objects().value(name); }
    QWidget *widget(const QString &name) const { return qobject_cast<QWidget *>(object(name)); }
    QGridLayout *grid(const QString &name) const { return qobject_cast<QGridLayout *>(object(name)); }
};

// Records every translation request of the form's context and answers with
// the source text in brackets, so that translated texts can be told apart.
class RecordingTranslator : public QTranslator
{
public:
    mutable QStringList requests;

    bool isEmpty() const override { return false; }

    QString translate(const char *context, const char *sourceText, const char *disambiguation,
                      int n) const override
    {
        if (qstrcmp(context, "Widget") != 0)
            return QString();
        const QString source = QString::fromUtf8(sourceText);
        requests.append(QStringLiteral("%1|%2|%3").arg(source, QLatin1String(disambiguation ? "set" : "null"),
                                                        QString::number(n)));
        return QLatin1Char('[') + source + QLatin1Char(']');
    }
};

const QStringList widgetNames = {
    QStringLiteral("stackedWidget"), QStringLiteral("page"), QStringLiteral("groupBox"),
    QStringLiteral("pushButtonOpen"), QStringLiteral("comboBoxId"), QStringLiteral("pushButtonScan"),
    QStringLiteral("groupBox_2"), QStringLiteral("pushButtonLoad"), QStringLiteral("progressBar"),
    QStringLiteral("page_2"), QStringLiteral("widgetLog"), QStringLiteral("lineEditPath"),
    QStringLiteral("pushButtonSelect"), QStringLiteral("textEdit"), QStringLiteral("lineEditSend"),
    QStringLiteral("pushButtonSend"),
};


// The display's scale factor the suite runs at, as its runner set the
// display (TARNVIK_SCALE; 1 when unset).
qreal expectedScale()
{
    bool ok = false;
    const qreal scale = qEnvironmentVariable("TARNVIK_SCALE").toDouble(&ok);
    return ok ? scale : 1.0;
}

// A device label as the list shows one from a real board, longer than the
// form's placeholders.
const QString typicalLabel = QStringLiteral("Tarnvik(1a2b)-Tarnvik Upgrade Board(00ff)");

// The rectangle in which a control's style draws its text, and the texts it
// must hold there.
struct TextPlace
{
    QRect rect;
    QStringList texts;
};

TextPlace textPlace(QWidget *w)
{
    QStyle *style = w->style();
    if (auto *button = qobject_cast<QPushButton *>(w)) {
        QStyleOptionButton opt;
        opt.initFrom(button);
        opt.text = button->text();
        return { style->subElementRect(QStyle::SE_PushButtonContents, &opt, button), { button->text() } };
    }
    if (auto *bar = qobject_cast<QProgressBar *>(w)) {
        // The style sheet gives the bar no border: its text is centred in
        // the whole bar, from 0 % to 100 %.
        return { bar->rect(), { bar->text(), QStringLiteral("100%") } };
    }
    if (auto *box = qobject_cast<QGroupBox *>(w)) {
        QStyleOptionGroupBox opt;
        opt.initFrom(box);
        opt.text = box->title();
        opt.textAlignment = box->alignment();
        opt.lineWidth = 1;
        opt.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
        return { style->subControlRect(QStyle::CC_GroupBox, &opt, QStyle::SC_GroupBoxLabel, box), { box->title() } };
    }
    if (auto *combo = qobject_cast<QComboBox *>(w)) {
        QStyleOptionComboBox opt;
        opt.initFrom(combo);
        opt.editable = combo->isEditable();
        opt.frame = combo->hasFrame();
        opt.subControls = QStyle::SC_All;
        QStringList texts{ typicalLabel };
        for (int i = 0; i < combo->count(); ++i)
            texts.append(combo->itemText(i));
        return { style->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, combo), texts };
    }
    if (auto *edit = qobject_cast<QLineEdit *>(w)) {
        QStyleOptionFrame opt;
        opt.initFrom(edit);
        opt.lineWidth = edit->hasFrame() ? style->pixelMetric(QStyle::PM_DefaultFrameWidth, &opt, edit) : 0;
        opt.state |= QStyle::State_Sunken;
        // A line scrolls sideways: only the height of a line must fit.
        // QLineEdit keeps one pixel free above and below the text.
        const QRect contents = style->subElementRect(QStyle::SE_LineEditContents, &opt, edit)
                                   .marginsRemoved(edit->textMargins()).adjusted(0, 1, 0, -1);
        return { QRect(contents.topLeft(), QSize(QWIDGETSIZE_MAX, contents.height())), { QStringLiteral("Ag") } };
    }
    return {};
}

} // namespace

class TestForm : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void memberOrder();
    void objectTree_data();
    void objectTree();
    void creationOrder();
    void layouts_data();
    void layouts();
    void cells_data();
    void cells();
    void spacer();
    void properties_data();
    void properties();
    void untouchedDefaults_data();
    void untouchedDefaults();
    void texts_data();
    void texts();
    void textsGoThroughTranslation();
    void comboBoxPlaceholders();
    void windowName_data();
    void windowName();
    void windowIcon();
    void iconResource();
    void shownPages();
    void shownLayout();
    void styleSheetFont_data();
    void styleSheetFont();
    void scaledWindow();
    void scaledTexts_data();
    void scaledTexts();

private:
    std::unique_ptr<Form> form;
    std::unique_ptr<Form> shownForm; // scaledTexts' window, shown once for all its rows
};

void TestForm::initTestCase()
{
    // The resource lives in a static library; registering it explicitly keeps
    // the test independent of whether its static initialiser was linked in.
    Q_INIT_RESOURCE(res);
    form.reset(new Form);
}

void TestForm::memberOrder()
{
    // The holder is exactly the 26 pointers, laid out in the order in which
    // setupUi creates the objects.
    const std::size_t offsets[] = {
        offsetof(Ui_Widget, gridLayout_6),     offsetof(Ui_Widget, stackedWidget),
        offsetof(Ui_Widget, page),             offsetof(Ui_Widget, gridLayout_9),
        offsetof(Ui_Widget, groupBox),         offsetof(Ui_Widget, gridLayout_5),
        offsetof(Ui_Widget, gridLayout_4),     offsetof(Ui_Widget, pushButtonOpen),
        offsetof(Ui_Widget, comboBoxId),       offsetof(Ui_Widget, pushButtonScan),
        offsetof(Ui_Widget, groupBox_2),       offsetof(Ui_Widget, gridLayout_3),
        offsetof(Ui_Widget, gridLayout),       offsetof(Ui_Widget, pushButtonLoad),
        offsetof(Ui_Widget, horizontalSpacer), offsetof(Ui_Widget, progressBar),
        offsetof(Ui_Widget, page_2),           offsetof(Ui_Widget, gridLayout_8),
        offsetof(Ui_Widget, widgetLog),        offsetof(Ui_Widget, gridLayout_7),
        offsetof(Ui_Widget, lineEditPath),     offsetof(Ui_Widget, pushButtonSelect),
        offsetof(Ui_Widget, textEdit),         offsetof(Ui_Widget, gridLayout_2),
        offsetof(Ui_Widget, lineEditSend),     offsetof(Ui_Widget, pushButtonSend),
    };
    QCOMPARE(sizeof(Ui_Widget), sizeof(offsets) / sizeof(offsets[0]) * sizeof(void *));
    for (std::size_t i = 0; i < sizeof(offsets) / sizeof(offsets[0]); ++i)
        QCOMPARE(offsets[i], i * sizeof(void *));
}

void TestForm::objectTree_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("className");
    QTest::addColumn<QString>("parent");

    const struct { const char *name, *className, *parent; } rows[] = {
        { "gridLayout_6", "QGridLayout", "Widget" },
        { "stackedWidget", "QStackedWidget", "Widget" },
        { "page", "QWidget", "stackedWidget" },
        { "gridLayout_9", "QGridLayout", "page" },
        { "groupBox", "QGroupBox", "page" },
        { "gridLayout_5", "QGridLayout", "groupBox" },
        { "gridLayout_4", "QGridLayout", "gridLayout_5" },
        { "pushButtonOpen", "QPushButton", "groupBox" },
        { "comboBoxId", "QComboBox", "groupBox" },
        { "pushButtonScan", "QPushButton", "groupBox" },
        { "groupBox_2", "QGroupBox", "page" },
        { "gridLayout_3", "QGridLayout", "groupBox_2" },
        { "gridLayout", "QGridLayout", "gridLayout_3" },
        { "pushButtonLoad", "QPushButton", "groupBox_2" },
        { "progressBar", "QProgressBar", "groupBox_2" },
        { "page_2", "QWidget", "stackedWidget" },
        { "gridLayout_8", "QGridLayout", "page_2" },
        { "widgetLog", "QWidget", "page_2" },
        { "gridLayout_7", "QGridLayout", "widgetLog" },
        { "lineEditPath", "QLineEdit", "widgetLog" },
        { "pushButtonSelect", "QPushButton", "widgetLog" },
        { "textEdit", "QTextEdit", "widgetLog" },
        { "gridLayout_2", "QGridLayout", "gridLayout_7" },
        { "lineEditSend", "QLineEdit", "widgetLog" },
        { "pushButtonSend", "QPushButton", "widgetLog" },
    };
    for (const auto &row : rows)
        QTest::newRow(row.name) << QString::fromLatin1(row.name) << QByteArray(row.className)
                                << QString::fromLatin1(row.parent);
}

void TestForm::objectTree()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, className);
    QFETCH(QString, parent);

    QObject *object = form->object(name);
    QVERIFY2(object, qPrintable(name + " is not a member of the form under its object name"));
    QCOMPARE(QByteArray(object->metaObject()->className()), className);
    QVERIFY(object->parent());
    QCOMPARE(object->parent(), form->object(parent));

    // The object is the only one of that name in the window.
    const QList<QObject *> named = form->window->findChildren<QObject *>(name);
    QCOMPARE(named.size(), 1);
    QCOMPARE(named.first(), object);
}

void TestForm::creationOrder()
{
    // No tab order is set, so the focus chain follows the order of creation,
    // pages included.
    const Ui_Widget &u = form->ui;
    const QList<QWidget *> expected = {
        u.stackedWidget, u.page, u.groupBox, u.pushButtonOpen, u.comboBoxId, u.pushButtonScan,
        u.groupBox_2, u.pushButtonLoad, u.progressBar, u.page_2, u.widgetLog, u.lineEditPath,
        u.pushButtonSelect, u.textEdit, u.lineEditSend, u.pushButtonSend,
    };
    QList<QWidget *> chain;
    for (QWidget *w = form->window->nextInFocusChain(); w != form->window.get(); w = w->nextInFocusChain()) {
        if (expected.contains(w))
            chain.append(w);
        QVERIFY(chain.size() <= expected.size());
    }
    QCOMPARE(chain, expected);
}

void TestForm::layouts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("host"); // the widget it is installed on; empty when nested
    QTest::addColumn<int>("margin");
    QTest::addColumn<QList<int>>("columnStretches");
    QTest::addColumn<int>("items");

    QTest::newRow("gridLayout_6") << "gridLayout_6" << "Widget" << 11 << QList<int>() << 1;
    QTest::newRow("gridLayout_9") << "gridLayout_9" << "page" << 11 << QList<int>() << 2;
    QTest::newRow("gridLayout_5") << "gridLayout_5" << "groupBox" << 11 << QList<int>() << 1;
    QTest::newRow("gridLayout_4") << "gridLayout_4" << "" << 0 << QList<int>{ 5, 1, 1 } << 3;
    QTest::newRow("gridLayout_3") << "gridLayout_3" << "groupBox_2" << 11 << QList<int>() << 1;
    QTest::newRow("gridLayout") << "gridLayout" << "" << 0 << QList<int>() << 3;
    QTest::newRow("gridLayout_8") << "gridLayout_8" << "page_2" << 11 << QList<int>() << 1;
    QTest::newRow("gridLayout_7") << "gridLayout_7" << "widgetLog" << 11 << QList<int>() << 4;
    QTest::newRow("gridLayout_2") << "gridLayout_2" << "" << 0 << QList<int>() << 2;
}

void TestForm::layouts()
{
    QFETCH(QString, name);
    QFETCH(QString, host);
    QFETCH(int, margin);
    QFETCH(QList<int>, columnStretches);
    QFETCH(int, items);

    QGridLayout *layout = form->grid(name);
    QVERIFY(layout);
    if (host.isEmpty()) {
        QVERIFY2(qobject_cast<QLayout *>(layout->parent()), "a nested layout belongs to its parent layout");
    } else {
        QCOMPARE(form->widget(host)->layout(), layout);
    }

    QCOMPARE(layout->horizontalSpacing(), 6);
    QCOMPARE(layout->verticalSpacing(), 6);
    QCOMPARE(layout->contentsMargins(), QMargins(margin, margin, margin, margin));
    QCOMPARE(layout->count(), items);
    QCOMPARE(int(layout->alignment()), 0);
    QCOMPARE(layout->sizeConstraint(), QLayout::SetDefaultConstraint);

    for (int column = 0; column < layout->columnCount(); ++column) {
        QCOMPARE(layout->columnStretch(column), columnStretches.value(column, 0));
        QCOMPARE(layout->columnMinimumWidth(column), 0);
    }
    QVERIFY(layout->columnCount() >= columnStretches.size());
    for (int row = 0; row < layout->rowCount(); ++row) {
        QCOMPARE(layout->rowStretch(row), 0);
        QCOMPARE(layout->rowMinimumHeight(row), 0);
    }
}

void TestForm::cells_data()
{
    QTest::addColumn<QString>("layout");
    QTest::addColumn<int>("index"); // position in the layout's item list: the order of adding
    QTest::addColumn<QString>("item");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("rowSpan");
    QTest::addColumn<int>("columnSpan");

    const struct { const char *layout; int index; const char *item; int row, column, rowSpan, columnSpan; } rows[] = {
        { "gridLayout_6", 0, "stackedWidget", 0, 0, 1, 1 },
        { "gridLayout_9", 0, "groupBox", 0, 0, 1, 1 },
        { "gridLayout_9", 1, "groupBox_2", 1, 0, 1, 1 },
        { "gridLayout_5", 0, "gridLayout_4", 0, 0, 1, 1 },
        { "gridLayout_4", 0, "pushButtonOpen", 0, 2, 1, 1 },
        { "gridLayout_4", 1, "comboBoxId", 0, 0, 1, 1 },
        { "gridLayout_4", 2, "pushButtonScan", 0, 1, 1, 1 },
        { "gridLayout_3", 0, "gridLayout", 0, 0, 1, 1 },
        { "gridLayout", 0, "pushButtonLoad", 1, 1, 1, 1 },
        { "gridLayout", 1, "horizontalSpacer", 1, 0, 1, 1 },
        { "gridLayout", 2, "progressBar", 0, 0, 1, 2 },
        { "gridLayout_8", 0, "widgetLog", 0, 0, 1, 1 },
        { "gridLayout_7", 0, "lineEditPath", 1, 0, 1, 1 },
        { "gridLayout_7", 1, "pushButtonSelect", 1, 1, 1, 1 },
        { "gridLayout_7", 2, "textEdit", 3, 0, 1, 2 },
        { "gridLayout_7", 3, "gridLayout_2", 4, 0, 1, 2 },
        { "gridLayout_2", 0, "lineEditSend", 0, 0, 1, 1 },
        { "gridLayout_2", 1, "pushButtonSend", 0, 1, 1, 1 },
    };
    for (const auto &r : rows)
        QTest::newRow(r.item) << QString::fromLatin1(r.layout) << r.index << QString::fromLatin1(r.item)
                              << r.row << r.column << r.rowSpan << r.columnSpan;
}

void TestForm::cells()
{
    QFETCH(QString, layout);
    QFETCH(int, index);
    QFETCH(QString, item);
    QFETCH(int, row);
    QFETCH(int, column);
    QFETCH(int, rowSpan);
    QFETCH(int, columnSpan);

    QGridLayout *grid = form->grid(layout);
    QVERIFY(grid);
    QLayoutItem *entry = grid->itemAt(index);
    QVERIFY(entry);
    if (item == QLatin1String("horizontalSpacer")) {
        QCOMPARE(entry->spacerItem(), form->ui.horizontalSpacer);
    } else if (QLayout *nested = qobject_cast<QLayout *>(form->object(item))) {
        QCOMPARE(entry->layout(), nested);
    } else {
        QCOMPARE(entry->widget(), form->widget(item));
    }
    QCOMPARE(int(entry->alignment()), 0);

    int r = -1, c = -1, rs = -1, cs = -1;
    grid->getItemPosition(index, &r, &c, &rs, &cs);
    QCOMPARE(r, row);
    QCOMPARE(c, column);
    QCOMPARE(rs, rowSpan);
    QCOMPARE(cs, columnSpan);
}

void TestForm::spacer()
{
    QSpacerItem *spacer = form->ui.horizontalSpacer;
    QVERIFY(spacer);
    QCOMPARE(spacer->sizeHint(), QSize(40, 20));
    QCOMPARE(spacer->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    QCOMPARE(spacer->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);
    QCOMPARE(spacer->expandingDirections(), Qt::Horizontal);
    QCOMPARE(spacer->minimumSize(), QSize(0, 20));
}

void TestForm::properties_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<QVariant>("expected");

    // The device list never lower than it asks for, and as high as the Scan
    // button beside it: its natural height cut the label's descenders under
    // Wine at 150 and 200 %.
    QSizePolicy comboPolicy(QSizePolicy::Preferred, QSizePolicy::Minimum, QSizePolicy::DefaultType);
    comboPolicy.setHorizontalStretch(0);
    comboPolicy.setVerticalStretch(0);
    comboPolicy.setHeightForWidth(QComboBox().sizePolicy().hasHeightForWidth());
    const QSize largest(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);

    QTest::newRow("window modality") << "Widget" << QByteArray("windowModality") << QVariant(int(Qt::NonModal));
    QTest::newRow("window size") << "Widget" << QByteArray("size") << QVariant(QSize(890, 336));
    QTest::newRow("window minimum size") << "Widget" << QByteArray("minimumSize") << QVariant(QSize(0, 0));
    QTest::newRow("window maximum size") << "Widget" << QByteArray("maximumSize") << QVariant(largest);
    QTest::newRow("window style sheet") << "Widget" << QByteArray("styleSheet") << QVariant(QString::fromUtf8(windowSheet));
    QTest::newRow("window locale") << "Widget" << QByteArray("locale")
                                   << QVariant(QLocale(QLocale::Chinese, QLocale::China));
    QTest::newRow("page style sheet") << "page" << QByteArray("styleSheet") << QVariant(QString::fromLatin1(pageSheet));
    QTest::newRow("groupBox maximum size") << "groupBox" << QByteArray("maximumSize") << QVariant(largest);
    QTest::newRow("pushButtonOpen style sheet") << "pushButtonOpen" << QByteArray("styleSheet")
                                                << QVariant(QString::fromLatin1(openSheet));
    QTest::newRow("comboBoxId size policy") << "comboBoxId" << QByteArray("sizePolicy") << QVariant(comboPolicy);
    QTest::newRow("progressBar style sheet") << "progressBar" << QByteArray("styleSheet")
                                             << QVariant(QString::fromLatin1(progressSheet));
    QTest::newRow("progressBar minimum") << "progressBar" << QByteArray("minimum") << QVariant(0);
    QTest::newRow("progressBar maximum") << "progressBar" << QByteArray("maximum") << QVariant(100);
    QTest::newRow("progressBar value") << "progressBar" << QByteArray("value") << QVariant(0);
    QTest::newRow("progressBar alignment") << "progressBar" << QByteArray("alignment")
                                           << QVariant(int(Qt::AlignHCenter | Qt::AlignVCenter));
    QTest::newRow("progressBar shown text") << "progressBar" << QByteArray("text") << QVariant(QStringLiteral("0%"));
    QTest::newRow("textEdit editable") << "textEdit" << QByteArray("readOnly") << QVariant(false);
    QTest::newRow("textEdit empty") << "textEdit" << QByteArray("plainText") << QVariant(QString());
    QTest::newRow("lineEditPath empty") << "lineEditPath" << QByteArray("text") << QVariant(QString());
    QTest::newRow("lineEditSend empty") << "lineEditSend" << QByteArray("text") << QVariant(QString());
    QTest::newRow("lineEditPath no placeholder") << "lineEditPath" << QByteArray("placeholderText") << QVariant(QString());
    QTest::newRow("lineEditSend no placeholder") << "lineEditSend" << QByteArray("placeholderText") << QVariant(QString());
    QTest::newRow("stackedWidget current index") << "stackedWidget" << QByteArray("currentIndex") << QVariant(0);
    QTest::newRow("stackedWidget count") << "stackedWidget" << QByteArray("count") << QVariant(2);
}

void TestForm::properties()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, property);
    QFETCH(QVariant, expected);

    QObject *object = form->object(name);
    QVERIFY(object);
    QVariant actual = object->property(property.constData());
    QVERIFY2(actual.isValid(), property.constData());
    // Enumerations and flags are compared by their numeric value.
    if (expected.userType() == QMetaType::Int && actual.userType() != QMetaType::Int)
        actual = QVariant(actual.toInt());
    QCOMPARE(actual, expected);
}

void TestForm::untouchedDefaults_data()
{
    QTest::addColumn<QString>("name");
    for (const QString &name : widgetNames)
        QTest::newRow(qPrintable(name)) << name;
}

void TestForm::untouchedDefaults()
{
    // Only the listed properties are set: no tool tips, no fixed, minimum or
    // maximum sizes, and no style sheets beyond the four given.
    QFETCH(QString, name);
    QWidget *widget = form->widget(name);
    QVERIFY(widget);
    QVERIFY(widget->toolTip().isEmpty());
    QVERIFY(widget->whatsThis().isEmpty());
    QCOMPARE(widget->minimumSize(), QSize(0, 0));
    QCOMPARE(widget->maximumSize(), QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX));
    const bool hasSheet = name == QLatin1String("page") || name == QLatin1String("pushButtonOpen")
                          || name == QLatin1String("progressBar");
    QCOMPARE(!widget->styleSheet().isEmpty(), hasSheet);
    QVERIFY(widget->isEnabled());
}

void TestForm::texts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<QString>("text");

    QTest::newRow("window title") << "Widget" << QByteArray("windowTitle") << "Tarnvik Upgrade Tool";
    QTest::newRow("groupBox") << "groupBox" << QByteArray("title") << "Select Device";
    QTest::newRow("pushButtonOpen") << "pushButtonOpen" << QByteArray("text") << "connect";
    QTest::newRow("pushButtonScan") << "pushButtonScan" << QByteArray("text") << "Scan Device";
    QTest::newRow("groupBox_2") << "groupBox_2" << QByteArray("title") << "";
    QTest::newRow("pushButtonLoad") << "pushButtonLoad" << QByteArray("text") << "Start Upgrade";
    QTest::newRow("progressBar") << "progressBar" << QByteArray("format") << "%p%";
    QTest::newRow("pushButtonSelect") << "pushButtonSelect" << QByteArray("text") << selectFileText;
    QTest::newRow("pushButtonSend") << "pushButtonSend" << QByteArray("text") << sendText;
}

void TestForm::texts()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, property);
    QFETCH(QString, text);

    // A form of its own, because its texts are overwritten here.
    Form own;
    QObject *object = own.object(name);
    QVERIFY(object);
    QCOMPARE(object->property(property.constData()).toString(), text);

    // retranslateUi sets the text again, whatever it was changed to.
    QVERIFY(object->setProperty(property.constData(), QStringLiteral("changed")));
    own.ui.retranslateUi(own.window.get());
    QCOMPARE(object->property(property.constData()).toString(), text);
}

void TestForm::textsGoThroughTranslation()
{
    Form own;
    RecordingTranslator translator;
    QVERIFY(QCoreApplication::installTranslator(&translator));
    translator.requests.clear();
    own.ui.retranslateUi(own.window.get());
    QCoreApplication::removeTranslator(&translator);

    // Every text but the empty title of groupBox_2 is looked up in the
    // "Widget" context, without disambiguation and with no count, in this
    // order; style sheets are not translatable.
    const QStringList expected = {
        QStringLiteral("Tarnvik Upgrade Tool|null|-1"), QStringLiteral("Select Device|null|-1"),
        QStringLiteral("connect|null|-1"),              QStringLiteral("0002|null|-1"),
        QStringLiteral("11111|null|-1"),                QStringLiteral("Scan Device|null|-1"),
        QStringLiteral("Start Upgrade|null|-1"),        QStringLiteral("%p%|null|-1"),
        selectFileText + QStringLiteral("|null|-1"),    sendText + QStringLiteral("|null|-1"),
    };
    QCOMPARE(translator.requests, expected);

    const Ui_Widget &u = own.ui;
    QCOMPARE(own.window->windowTitle(), QStringLiteral("[Tarnvik Upgrade Tool]"));
    QCOMPARE(u.pushButtonOpen->text(), QStringLiteral("[connect]"));
    QCOMPARE(u.comboBoxId->itemText(0), QStringLiteral("[0002]"));
    QCOMPARE(u.comboBoxId->itemText(1), QStringLiteral("[11111]"));
    QCOMPARE(u.groupBox_2->title(), QString());
    QCOMPARE(u.pushButtonSend->text(), QLatin1Char('[') + sendText + QLatin1Char(']'));
}

void TestForm::comboBoxPlaceholders()
{
    QComboBox *combo = form->ui.comboBoxId;
    QCOMPARE(combo->count(), 2);
    QCOMPARE(combo->itemText(0), QStringLiteral("0002"));
    QCOMPARE(combo->itemText(1), QStringLiteral("11111"));
    QCOMPARE(combo->currentIndex(), 0);
    QCOMPARE(combo->currentText(), QStringLiteral("0002"));
    for (int i = 0; i < combo->count(); ++i) {
        QVERIFY(combo->itemIcon(i).isNull());
        QVERIFY(!combo->itemData(i, Qt::UserRole).isValid());
    }
}

void TestForm::windowName_data()
{
    QTest::addColumn<QString>("initial");
    QTest::addColumn<QString>("expected");
    QTest::newRow("unnamed window") << QString() << QStringLiteral("Widget");
    QTest::newRow("named window") << QStringLiteral("mainWindow") << QStringLiteral("mainWindow");
}

void TestForm::windowName()
{
    QFETCH(QString, initial);
    QFETCH(QString, expected);
    Form own(initial);
    QCOMPARE(own.window->objectName(), expected);
    // The form's objects are built all the same.
    QCOMPARE(own.window->layout(), own.ui.gridLayout_6);
}

void TestForm::windowIcon()
{
    const QIcon icon = form->window->windowIcon();
    QVERIFY(!icon.isNull());
    // The file is added once, for the normal mode and the off state, at the
    // image's own size.
    QCOMPARE(icon.availableSizes(QIcon::Normal, QIcon::Off), QList<QSize>{ QSize(400, 400) });
    QVERIFY(icon.availableSizes(QIcon::Normal, QIcon::On).isEmpty());
    QVERIFY(icon.availableSizes(QIcon::Disabled, QIcon::Off).isEmpty());
    QVERIFY(icon.availableSizes(QIcon::Active, QIcon::Off).isEmpty());
}

void TestForm::iconResource()
{
    const QString path = QStringLiteral(":/res/icon.png");
    const QImage image(path);
    QVERIFY(!image.isNull());
    QCOMPARE(image.size(), QSize(400, 400));
    QVERIFY(image.hasAlphaChannel());
    QCOMPARE(image.format(), QImage::Format_ARGB32);

    // The header: 8 bits per channel, colour type 6 (RGBA), not interlaced.
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray head = file.read(29);
    QCOMPARE(head.left(8), QByteArray("\x89PNG\r\n\x1a\n", 8));
    QCOMPARE(head.mid(12, 4), QByteArray("IHDR"));
    QCOMPARE(int(uchar(head.at(24))), 8);
    QCOMPARE(int(uchar(head.at(25))), 6);
    QCOMPARE(int(uchar(head.at(28))), 0);

    // Stored as it is and not tied to a locale.
    const QResource resource(path);
    QVERIFY(resource.isValid());
#if QT_VERSION >= QT_VERSION_CHECK(5, 13, 0)
    QCOMPARE(resource.compressionAlgorithm(), QResource::NoCompression);
#else
    QVERIFY(!resource.isCompressed());
#endif
    QCOMPARE(resource.size(), file.size());
    QVERIFY(QResource(path, QLocale(QLocale::German, QLocale::Germany)).isValid());
    QVERIFY(QResource(path, QLocale(QLocale::Chinese, QLocale::China)).isValid());
}

void TestForm::shownPages()
{
    Form own;
    own.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(own.window.get()));

    const Ui_Widget &u = own.ui;
    QCOMPARE(u.stackedWidget->indexOf(u.page), 0);
    QCOMPARE(u.stackedWidget->indexOf(u.page_2), 1);
    QCOMPARE(u.stackedWidget->currentIndex(), 0);
    QCOMPARE(u.stackedWidget->currentWidget(), u.page);
    QVERIFY(u.page->isVisible());
    QVERIFY(u.pushButtonLoad->isVisible());
    QVERIFY(!u.page_2->isVisible());
    QVERIFY(!u.textEdit->isVisible());
    QVERIFY(!u.pushButtonSelect->isVisible());
    QVERIFY(!u.lineEditSend->isVisible());
    // The form's size, grown only where the fonts at hand need more room
    // (Wine, for one, has no 仿宋 and its stand-in is taller).
    QCOMPARE(own.window->size(), QSize(890, 336).expandedTo(own.window->minimumSizeHint()));
}

void TestForm::shownLayout()
{
    Form own;
    own.window->resize(1400, 336);
    own.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(own.window.get()));
    const Ui_Widget &u = own.ui;
    u.gridLayout_6->activate();

    // The device list, "Scan Device" and "connect" share the row 5 : 1 : 1.
    const int list = u.comboBoxId->width();
    const int scan = u.pushButtonScan->width();
    const int open = u.pushButtonOpen->width();
    QVERIFY2(qAbs(scan - open) <= 1, qPrintable(QStringLiteral("%1 %2").arg(scan).arg(open)));
    QVERIFY2(qAbs(list - 5 * scan) <= 5, qPrintable(QStringLiteral("%1 %2").arg(list).arg(scan)));
    QVERIFY(u.comboBoxId->x() < u.pushButtonScan->x());
    QVERIFY(u.pushButtonScan->x() < u.pushButtonOpen->x());
    // The device list fills its row: as high as the Scan button at least.
    QVERIFY2(u.comboBoxId->height() >= u.pushButtonScan->height(),
             qPrintable(QStringLiteral("%1 %2").arg(u.comboBoxId->height()).arg(u.pushButtonScan->height())));

    // The progress bar spans its row; "Start Upgrade" sits at the right end
    // below it, the spacer taking the rest.
    const QRect cell = u.gridLayout->geometry();
    QCOMPARE(u.progressBar->geometry().left(), cell.left());
    QCOMPARE(u.progressBar->geometry().right(), cell.right());
    QCOMPARE(u.pushButtonLoad->geometry().right(), cell.right());
    QVERIFY(u.pushButtonLoad->y() > u.progressBar->y());
    QVERIFY(u.horizontalSpacer->geometry().width() > u.pushButtonLoad->width());
}

void TestForm::styleSheetFont_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("Widget") << QStringLiteral("Widget");
    for (const QString &name : widgetNames)
        QTest::newRow(qPrintable(name)) << name;
}

void TestForm::styleSheetFont()
{
    // The window's sheet gives everything in it 12 points of FangSong; the
    // family is the requested one, whether or not it is installed.
    QFETCH(QString, name);
    if (!form->window->isVisible()) {
        form->window->show();
        QVERIFY(QTest::qWaitForWindowExposed(form->window.get()));
    }
    QWidget *widget = form->widget(name);
    QVERIFY(widget);
    widget->ensurePolished();
    QCOMPARE(widget->font().pointSize(), 12);
    QCOMPARE(widget->font().family(), fangSong);
    QCOMPARE(widget->locale(), QLocale(QLocale::Chinese, QLocale::China));
}

void TestForm::scaledWindow()
{
    // Qt's scaling is on: the whole window, drawn at the display's factor,
    // and the form's sizes in device-independent pixels.
    Form own;
    own.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(own.window.get()));
    const qreal scale = expectedScale();
    QVERIFY2(qAbs(own.window->devicePixelRatioF() - scale) < 0.001,
             qPrintable(QStringLiteral("drawn at %1, the display is at %2").arg(own.window->devicePixelRatioF()).arg(scale)));
#ifdef Q_OS_WIN
    // The window as Windows has it, in pixels of the screen.
    RECT client;
    QVERIFY(GetClientRect(reinterpret_cast<HWND>(own.window->winId()), &client));
    const QSize native(client.right - client.left, client.bottom - client.top);
    const QSize expected = own.window->size() * scale;
    QVERIFY2(qAbs(native.width() - expected.width()) <= 1 && qAbs(native.height() - expected.height()) <= 1,
             qPrintable(QStringLiteral("%1 x %2 on the screen for %3 x %4 at %5")
                            .arg(native.width()).arg(native.height())
                            .arg(own.window->width()).arg(own.window->height()).arg(scale)));
#endif
}

void TestForm::scaledTexts_data()
{
    QTest::addColumn<int>("page");
    QTest::addColumn<QString>("name");
    for (const char *name : { "groupBox", "comboBoxId", "pushButtonScan", "pushButtonOpen", "progressBar",
                              "pushButtonLoad" })
        QTest::newRow(name) << 0 << QString::fromLatin1(name);
    for (const char *name : { "lineEditPath", "pushButtonSelect", "lineEditSend", "pushButtonSend" })
        QTest::newRow(name) << 1 << QString::fromLatin1(name);
}

void TestForm::scaledTexts()
{
    // At whatever factor the display has, every control gets at least the
    // room it asks for, and its texts fit where its style draws them: no
    // text is cut off.
    QFETCH(int, page);
    QFETCH(QString, name);
    // One window for every row (a window shown costs seconds under Wine);
    // a row shows the page its control is on.
    if (!shownForm) {
        shownForm.reset(new Form);
        shownForm->window->show();
        QVERIFY(QTest::qWaitForWindowExposed(shownForm->window.get()));
    }
    Form &own = *shownForm;
    own.ui.stackedWidget->setCurrentIndex(page);
    QCoreApplication::sendPostedEvents(); // the page's layout, if it waits for an event
    QWidget *w = own.widget(name);
    QVERIFY(w);
    QVERIFY(w->isVisible());

    const QSize needed = w->minimumSizeHint();
    QVERIFY2(w->width() >= needed.width() && w->height() >= needed.height(),
             qPrintable(QStringLiteral("%1 x %2, needs %3 x %4")
                            .arg(w->width()).arg(w->height()).arg(needed.width()).arg(needed.height())));

    const TextPlace place = textPlace(w);
    QVERIFY(!place.texts.isEmpty());
    QVERIFY(!place.rect.isEmpty());
    QVERIFY2(w->rect().contains(place.rect.intersected(w->rect())), "the text area lies in the control");
    // The pixels a text covers, as the style places it (centred on its
    // line, the line centred in the rectangle): the styles clip a text to
    // its rectangle, so that what lies outside is cut off. A font's line
    // may be higher than its letters (Wine's stand-in for 仿宋 has a line
    // of 69 pixels at 12 points) and reach past the rectangle harmlessly.
    const QFontMetrics metrics = w->fontMetrics();
    const int baseline = place.rect.top() + (place.rect.height() - metrics.height()) / 2 + metrics.ascent();
    for (const QString &text : place.texts) {
        const int width = metrics.boundingRect(text).width();
        const QRect ink = metrics.tightBoundingRect(text).translated(0, baseline);
        QVERIFY2(width <= place.rect.width() && ink.top() >= place.rect.top() && ink.bottom() <= place.rect.bottom(),
                 qPrintable(QStringLiteral("\"%1\" covers %2 pixels across and rows %3 to %4; has %5 pixels, rows %6 to %7")
                                .arg(text).arg(width).arg(ink.top()).arg(ink.bottom())
                                .arg(place.rect.width()).arg(place.rect.top()).arg(place.rect.bottom())));
    }
}

int main(int argc, char *argv[])
{
    // The form at the display's scale, as the program shows it.
    EnableHighDpiScaling();
    QApplication app(argc, argv);
    TestForm test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_form.moc"
