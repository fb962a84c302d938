// Paints every image the program carries: the five button icons, the logo in its sizes and
// formats, the note, the banner and the application icon. Rerun it with `cmake --build build
// --target images`; it writes into the resources folder given as its only argument.
#include <QByteArray>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHash>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QTextStream>
#include <QtEndian>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <vector>

namespace
{

const QColor ringColour(0x40, 0x40, 0x40);
const QColor glyphColour(0, 0, 0);
const QColor logoTop(0x2f, 0x8f, 0xc8);
const QColor logoBottom(0x3b, 0x2a, 0x8c);

bool failed = false;

void report(bool ok, const QString& path)
{
    std::fprintf(ok ? stdout : stderr, "%s %s\n", ok ? "wrote" : "could not write",
                 qPrintable(QDir::toNativeSeparators(path)));
    failed = failed || !ok;
}

void save(const QImage& image, const QString& path, const char* format, int quality = -1)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    report(image.save(path, format, quality), path);
}

// A small deterministic noise in -1..1, so that gradients carry many distinct colours.
double noise(int x, int y)
{
    quint32 h = quint32(x) * 374761393u + quint32(y) * 668265263u;
    h = (h ^ (h >> 13)) * 1274126177u;
    h ^= h >> 16;
    return (h & 0xffff) / 32767.5 - 1.0;
}

// Button icons: a dark ring around a black glyph, drawn on the 16 px grid so that the straight
// edges fall on pixel boundaries; at `scale` times that for screens that scale (Qt picks
// name@2x.png and name@3x.png beside name.png by itself).

enum class Glyph { Stop, Pause, Play, Previous, Next };

QPainterPath rightTriangle(double left, double right, double top, double bottom)
{
    QPainterPath path;
    path.moveTo(left, top);
    path.lineTo(right, (top + bottom) / 2);
    path.lineTo(left, bottom);
    path.closeSubpath();
    return path;
}

QPainterPath leftTriangle(double left, double right, double top, double bottom)
{
    QPainterPath path;
    path.moveTo(right, top);
    path.lineTo(left, (top + bottom) / 2);
    path.lineTo(right, bottom);
    path.closeSubpath();
    return path;
}

QImage buttonIcon(Glyph glyph, int scale = 1)
{
    QImage image(16 * scale, 16 * scale, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(scale, scale);

    painter.setPen(QPen(ringColour, 1.2));
    painter.setBrush(QColor(255, 255, 255, 150));
    painter.drawEllipse(QPointF(8, 8), 7.1, 7.1);

    painter.setPen(Qt::NoPen);
    painter.setBrush(glyphColour);
    switch (glyph) {
    case Glyph::Stop:
        painter.drawRect(QRectF(5, 5, 6, 6));
        break;
    case Glyph::Pause:
        painter.drawRect(QRectF(5, 5, 2, 6));
        painter.drawRect(QRectF(9, 5, 2, 6));
        break;
    case Glyph::Play:
        painter.drawPath(rightTriangle(6, 12, 4, 12));
        break;
    case Glyph::Previous:
        painter.drawRect(QRectF(4, 5, 2, 6));
        painter.drawPath(leftTriangle(6, 11.5, 5, 11));
        break;
    case Glyph::Next:
        painter.drawPath(rightTriangle(4.5, 10, 5, 11));
        painter.drawRect(QRectF(10, 5, 2, 6));
        break;
    }
    painter.end();
    return image.convertToFormat(QImage::Format_ARGB32);
}

// The logo: two beamed quavers, drawn into any rectangle in a 100 x 100 design space.

QPainterPath notesPath()
{
    QPainterPath path;
    path.setFillRule(Qt::WindingFill);
    auto head = [&path](double cx, double cy) {
        QPainterPath ellipse;
        ellipse.addEllipse(QPointF(0, 0), 11.5, 8.5);
        QTransform turn;
        turn.translate(cx, cy);
        turn.rotate(-22);
        path.addPath(turn.map(ellipse));
    };
    head(31, 76);
    head(71, 68);
    path.addRect(QRectF(36.5, 24, 6, 51));
    path.addRect(QRectF(76.5, 16, 6, 51));
    QPainterPath beam;
    beam.moveTo(36.5, 24);
    beam.lineTo(82.5, 16);
    beam.lineTo(82.5, 30);
    beam.lineTo(36.5, 38);
    beam.closeSubpath();
    path.addPath(beam);
    return path.simplified();
}

void paintNotes(QPainter& painter, const QRectF& area, const QColor& colour)
{
    painter.save();
    painter.translate(area.topLeft());
    painter.scale(area.width() / 100.0, area.height() / 100.0);
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    painter.drawPath(notesPath());
    painter.restore();
}

QLinearGradient logoGradient(const QRectF& area)
{
    QLinearGradient gradient(area.topLeft(), area.bottomRight());
    gradient.setColorAt(0, logoTop);
    gradient.setColorAt(1, logoBottom);
    return gradient;
}

// The logo on a tile with rounded corners, or on a plain rectangle.
QImage logo(int width, int height, bool roundedTile = true)
{
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF tile(0, 0, width, height);
    const double radius = roundedTile ? std::min(width, height) * 0.2 : 0.0;
    painter.setPen(Qt::NoPen);
    painter.setBrush(logoGradient(tile));
    painter.drawRoundedRect(tile, radius, radius);

    // A soft highlight over the upper half.
    QRadialGradient shine(QPointF(width * 0.3, height * 0.15), std::max(width, height) * 0.8);
    shine.setColorAt(0, QColor(255, 255, 255, 70));
    shine.setColorAt(1, QColor(255, 255, 255, 0));
    painter.setBrush(shine);
    painter.drawRoundedRect(tile, radius, radius);

    const double side = std::min(width, height) * 0.8;
    const QRectF notes((width - side) / 2, (height - side) / 2, side, side);
    paintNotes(painter, notes.translated(0, side * 0.02), QColor(0, 0, 0, 60));
    paintNotes(painter, notes.translated(0, -side * 0.02), Qt::white);
    painter.end();
    return image.convertToFormat(QImage::Format_ARGB32);
}

// Adds a little noise to every pixel, so that smooth areas carry many distinct colours.
void grain(QImage& image, double amount)
{
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = line[x];
            auto shift = [&](int v, int salt) {
                return std::clamp(int(std::lround(v + amount * noise(x + salt, y - salt))), 0, 255);
            };
            line[x] =
                qRgba(shift(qRed(p), 0), shift(qGreen(p), 977), shift(qBlue(p), 1931), qAlpha(p));
        }
    }
}

// Reduces an opaque image to exactly `colours` distinct colours: the most frequent ones stay,
// every other pixel takes the nearest colour that stays.
bool reduceColours(QImage& image, int colours)
{
    QHash<QRgb, int> counts;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            ++counts[image.pixel(x, y) | 0xff000000u];
    if (counts.size() < colours)
        return false;
    std::vector<std::pair<int, QRgb>> byUse;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        byUse.emplace_back(-it.value(), it.key());
    std::sort(byUse.begin(), byUse.end());
    std::vector<QRgb> kept;
    QHash<QRgb, QRgb> mapping;
    for (int i = 0; i < int(byUse.size()); ++i) {
        const QRgb c = byUse[i].second;
        if (i < colours) {
            kept.push_back(c);
            mapping.insert(c, c);
            continue;
        }
        int best = 0;
        int bestDistance = INT_MAX;
        for (int k = 0; k < int(kept.size()); ++k) {
            const int dr = qRed(c) - qRed(kept[k]);
            const int dg = qGreen(c) - qGreen(kept[k]);
            const int db = qBlue(c) - qBlue(kept[k]);
            const int distance = dr * dr + dg * dg + db * db;
            if (distance < bestDistance) {
                bestDistance = distance;
                best = k;
            }
        }
        mapping.insert(c, kept[best]);
    }
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, mapping.value(image.pixel(x, y) | 0xff000000u));
    return true;
}

// Writes an opaque image as XPM with two characters per pixel. QImage's own writer picks one
// character per pixel when it can, so the text is written here.
void writeXpm(const QImage& image, const QString& path, const char* name)
{
    QString alphabet;
    for (char c = '!'; c <= '~'; ++c)
        if (c != '"' && c != '\\')
            alphabet += QLatin1Char(c);
    const int base = alphabet.size();

    QHash<QRgb, QString> codes;
    std::vector<QRgb> order;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb c = image.pixel(x, y) | 0xff000000u;
            if (codes.contains(c))
                continue;
            const int n = int(order.size());
            if (n >= base * base) {
                report(false, path);
                return;
            }
            codes.insert(c, QString(alphabet[n / base]) + alphabet[n % base]);
            order.push_back(c);
        }
    }

    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        report(false, path);
        return;
    }
    QTextStream out(&file);
    out << "/* XPM */\n"
        << "static const char *const " << name << "[] = {\n"
        << '"' << image.width() << ' ' << image.height() << ' ' << order.size() << " 2\",\n";
    for (const QRgb c : order)
        out << '"' << codes.value(c) << " c " << QColor(c).name(QColor::HexRgb).toUpper()
            << "\",\n";
    for (int y = 0; y < image.height(); ++y) {
        out << '"';
        for (int x = 0; x < image.width(); ++x)
            out << codes.value(image.pixel(x, y) | 0xff000000u);
        out << (y + 1 < image.height() ? "\",\n" : "\"\n");
    }
    out << "};\n";
    out.flush();
    report(out.status() == QTextStream::Ok && file.error() == QFile::NoError, path);
}

// Writes a Windows icon holding each image as a 32-bit DIB with its mask.
void writeIco(const std::vector<QImage>& images, const QString& path)
{
    QByteArray header;
    QByteArray entries;
    QByteArray bodies;
    auto put16 = [](QByteArray& out, quint16 v) {
        const quint16 le = qToLittleEndian(v);
        out.append(reinterpret_cast<const char*>(&le), 2);
    };
    auto put32 = [](QByteArray& out, quint32 v) {
        const quint32 le = qToLittleEndian(v);
        out.append(reinterpret_cast<const char*>(&le), 4);
    };
    put16(header, 0);
    put16(header, 1);
    put16(header, quint16(images.size()));
    quint32 offset = 6 + 16 * quint32(images.size());
    for (const QImage& source : images) {
        const QImage image = source.convertToFormat(QImage::Format_ARGB32);
        const int w = image.width();
        const int h = image.height();
        const int maskStride = ((w + 31) / 32) * 4;
        QByteArray body;
        put32(body, 40);
        put32(body, quint32(w));
        put32(body, quint32(h * 2));
        put16(body, 1);
        put16(body, 32);
        put32(body, 0);
        put32(body, quint32(w * h * 4 + maskStride * h));
        put32(body, 0);
        put32(body, 0);
        put32(body, 0);
        put32(body, 0);
        for (int y = h - 1; y >= 0; --y) {
            const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
            for (int x = 0; x < w; ++x) {
                body.append(char(qBlue(line[x])));
                body.append(char(qGreen(line[x])));
                body.append(char(qRed(line[x])));
                body.append(char(qAlpha(line[x])));
            }
        }
        for (int y = h - 1; y >= 0; --y) {
            QByteArray row(maskStride, '\0');
            for (int x = 0; x < w; ++x)
                if (qAlpha(image.pixel(x, y)) == 0)
                    row[x / 8] = char(row[x / 8] | (0x80 >> (x % 8)));
            body.append(row);
        }
        entries.append(char(w >= 256 ? 0 : w));
        entries.append(char(h >= 256 ? 0 : h));
        entries.append('\0');
        entries.append('\0');
        put16(entries, 1);
        put16(entries, 32);
        put32(entries, quint32(body.size()));
        put32(entries, offset);
        offset += quint32(body.size());
        bodies.append(body);
    }
    QFile file(path);
    const bool ok =
        file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
        file.write(header + entries + bodies) == header.size() + entries.size() + bodies.size();
    report(ok, path);
}

QImage musicalNote()
{
    QImage image(96, 96, QImage::Format_RGB32);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient background(0, 0, 0, 96);
    background.setColorAt(0, QColor(0xfb, 0xfb, 0xfd));
    background.setColorAt(1, QColor(0xdc, 0xe3, 0xf0));
    painter.fillRect(image.rect(), background);
    paintNotes(painter, QRectF(10, 12, 76, 76), QColor(0, 0, 0, 40));
    paintNotes(painter, QRectF(10, 10, 76, 76), logoBottom);
    painter.end();
    return image;
}

QImage banner()
{
    const int w = 389;
    const int h = 323;
    QImage image(w, h, QImage::Format_RGB32);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(image.rect(), logoGradient(QRectF(0, 0, w, h)));

    // An equaliser along the bottom edge.
    const int bars = 18;
    const double barWidth = double(w) / bars;
    for (int i = 0; i < bars; ++i) {
        const double level = 0.25 + 0.2 * std::sin(i * 0.9) + 0.15 * std::sin(i * 2.3 + 1.0);
        const double top = h - level * h * 0.55;
        painter.fillRect(QRectF(i * barWidth + 3, top, barWidth - 6, h - top),
                         QColor(255, 255, 255, 45));
    }
    paintNotes(painter, QRectF(104, 40, 180, 180), QColor(0, 0, 0, 60));
    paintNotes(painter, QRectF(104, 34, 180, 180), Qt::white);
    painter.end();
    return image;
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s RESOURCES_DIR\n", argv[0]);
        return 2;
    }
    const QDir resources(QString::fromLocal8Bit(argv[1]));
    const QString images = resources.filePath("Icons/images");

    const std::pair<Glyph, const char*> buttons[] = {{Glyph::Stop, "stop"},
                                                     {Glyph::Pause, "pause"},
                                                     {Glyph::Play, "play"},
                                                     {Glyph::Previous, "previous"},
                                                     {Glyph::Next, "next"}};
    for (const auto& [glyph, name] : buttons) {
        save(buttonIcon(glyph), images + "/" + name + ".png", "PNG");
        for (const int scale : {2, 3})
            save(buttonIcon(glyph, scale), images + QString("/%1@%2x.png").arg(name).arg(scale),
                 "PNG");
    }

    save(logo(16, 13), images + "/brisnak_mini.png", "PNG");
    save(logo(150, 125), images + "/brisnak.png", "PNG");

    QImage xpm = logo(150, 125, false).convertToFormat(QImage::Format_RGB32);
    grain(xpm, 3.0);
    if (reduceColours(xpm, 6800))
        writeXpm(xpm, images + "/brisnak.xpm", "brisnak");
    else
        report(false, images + "/brisnak.xpm");

    save(musicalNote(), images + "/musical_note.png", "PNG");
    save(banner(), images + "/brisnak_banner.jpg", "JPEG", 88);

    // The application icon of the desktop's theme, up to what a dock on a scaled screen shows; the
    // Windows icon group holds four of them.
    std::vector<QImage> iconSizes;
    for (const int size : {256, 128, 64, 48, 32, 24, 16}) {
        const QImage icon = logo(size, size);
        save(icon, resources.filePath(QString("hicolor/%1x%1/apps/brisnak.png").arg(size)), "PNG");
        if (size == 128 || size == 48 || size == 32 || size == 16)
            iconSizes.push_back(icon);
    }
    writeIco(iconSizes, resources.filePath("brisnak.ico"));

    return failed ? 1 : 0;
}
