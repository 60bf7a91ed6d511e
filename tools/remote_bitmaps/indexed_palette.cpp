#include "tools/remote_bitmaps/indexed_palette.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <map>
#include <unordered_map>

namespace {

struct Entry {
    QRgb colour;
    std::uint64_t count;
};

int Channel(QRgb c, int i) {
    return i == 0 ? qRed(c) : i == 1 ? qGreen(c) : qBlue(c);
}

// One box of the median cut: a range [begin, end) of the histogram.
struct Box {
    std::size_t begin, end;
};

int WidestChannel(const std::vector<Entry>& h, Box b, int* spread) {
    std::array<int, 3> lo{255, 255, 255};
    std::array<int, 3> hi{0, 0, 0};
    for (std::size_t i = b.begin; i < b.end; ++i) {
        for (int c = 0; c < 3; ++c) {
            const int v = Channel(h[i].colour, c);
            lo[static_cast<std::size_t>(c)] = std::min(lo[static_cast<std::size_t>(c)], v);
            hi[static_cast<std::size_t>(c)] = std::max(hi[static_cast<std::size_t>(c)], v);
        }
    }
    int best = 0;
    for (int c = 1; c < 3; ++c) {
        const auto cu = static_cast<std::size_t>(c);
        const auto bu = static_cast<std::size_t>(best);
        if (hi[cu] - lo[cu] > hi[bu] - lo[bu]) {
            best = c;
        }
    }
    *spread = hi[static_cast<std::size_t>(best)] - lo[static_cast<std::size_t>(best)];
    return best;
}

QRgb Average(const std::vector<Entry>& h, Box b) {
    double r = 0, g = 0, bl = 0, n = 0;
    for (std::size_t i = b.begin; i < b.end; ++i) {
        const auto w = static_cast<double>(h[i].count);
        r += w * qRed(h[i].colour);
        g += w * qGreen(h[i].colour);
        bl += w * qBlue(h[i].colour);
        n += w;
    }
    return qRgb(static_cast<int>(r / n + 0.5), static_cast<int>(g / n + 0.5),
                static_cast<int>(bl / n + 0.5));
}

QList<QRgb> MedianCut(std::vector<Entry>& h) {
    std::vector<Box> boxes{{0, h.size()}};
    while (boxes.size() < 256) {
        // Split the box with the widest channel spread that still holds two colours.
        int bestSpread = -1;
        std::size_t pick = 0;
        for (std::size_t i = 0; i < boxes.size(); ++i) {
            int spread = 0;
            if (boxes[i].end - boxes[i].begin < 2) {
                continue;
            }
            WidestChannel(h, boxes[i], &spread);
            if (spread > bestSpread) {
                bestSpread = spread;
                pick = i;
            }
        }
        if (bestSpread <= 0) {
            break;
        }
        Box b = boxes[pick];
        int spread = 0;
        const int ch = WidestChannel(h, b, &spread);
        auto first = h.begin() + static_cast<std::ptrdiff_t>(b.begin);
        auto last = h.begin() + static_cast<std::ptrdiff_t>(b.end);
        std::sort(first, last, [ch](const Entry& x, const Entry& y) {
            return Channel(x.colour, ch) < Channel(y.colour, ch);
        });
        // Median by pixel count, but never an empty half.
        std::uint64_t total = 0;
        for (auto it = first; it != last; ++it) {
            total += it->count;
        }
        std::uint64_t acc = 0;
        std::size_t mid = b.begin;
        while (mid < b.end - 1 && acc + h[mid].count <= total / 2) {
            acc += h[mid].count;
            ++mid;
        }
        mid = std::clamp(mid, b.begin + 1, b.end - 1);
        boxes[pick] = {b.begin, mid};
        boxes.push_back({mid, b.end});
    }
    QList<QRgb> palette;
    for (const Box& b : boxes) {
        palette.push_back(Average(h, b));
    }
    return palette;
}

int Nearest(const QList<QRgb>& palette, QRgb c) {
    int best = 0;
    int bestDist = std::numeric_limits<int>::max();
    for (int i = 0; i < palette.size(); ++i) {
        const int dr = qRed(c) - qRed(palette[i]);
        const int dg = qGreen(c) - qGreen(palette[i]);
        const int db = qBlue(c) - qBlue(palette[i]);
        const int d = 3 * dr * dr + 4 * dg * dg + 2 * db * db;
        if (d < bestDist) {
            bestDist = d;
            best = i;
        }
    }
    return best;
}

}  // namespace

std::vector<QImage> ToSharedIndexed8(const std::vector<QImage>& images) {
    std::map<QRgb, std::uint64_t> counts;
    std::vector<QImage> rgb;
    for (const QImage& in : images) {
        rgb.push_back(in.convertToFormat(QImage::Format_RGB32));
        const QImage& img = rgb.back();
        for (int y = 0; y < img.height(); ++y) {
            const auto* line = reinterpret_cast<const QRgb*>(img.constScanLine(y));
            for (int x = 0; x < img.width(); ++x) {
                ++counts[line[x] | 0xff000000u];
            }
        }
    }
    std::vector<Entry> histogram;
    for (const auto& [colour, count] : counts) {
        histogram.push_back({colour, count});
    }
    QList<QRgb> palette;
    if (histogram.size() <= 256) {
        for (const Entry& e : histogram) {
            palette.push_back(e.colour);
        }
    } else {
        palette = MedianCut(histogram);
    }

    std::unordered_map<QRgb, uchar> index;
    for (const auto& [colour, count] : counts) {
        index[colour] = static_cast<uchar>(Nearest(palette, colour));
    }
    std::vector<QImage> out;
    for (const QImage& img : rgb) {
        QImage indexed(img.size(), QImage::Format_Indexed8);
        indexed.setColorTable(palette);
        for (int y = 0; y < img.height(); ++y) {
            const auto* src = reinterpret_cast<const QRgb*>(img.constScanLine(y));
            uchar* dst = indexed.scanLine(y);
            for (int x = 0; x < img.width(); ++x) {
                dst[x] = index.at(src[x] | 0xff000000u);
            }
        }
        out.push_back(indexed);
    }
    return out;
}
