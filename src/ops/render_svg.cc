// The reports as pictures: one self-contained SVG document each (no script, no external font or
// style), which any browser, editor or rsvg-convert shows alike. The whole image is drawn to
// scale; each table's span is drawn to a scale where its smallest block stays legible.
#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "image/text.h"
#include "ops/render.h"

namespace blkswap {

namespace {

constexpr double kLeft = 20;
constexpr double kWidth = 960;      // of a band, before it grows for many blocks
constexpr double kNarrowest = 16;   // the narrowest stretch a legible scale draws
constexpr double kLegible = 86;     // the narrowest block it draws: room for a name
constexpr double kBandHeight = 58;  // a table's band: a block's name, size and room
constexpr const char* kStateColour[] = {"#a5d6a7", "#ffab91", "#cfd8dc"};  // ok, stale, none
constexpr const char* kReplaced = "#1565c0";
constexpr const char* kFault = "#c62828";

// Text for XML: the markup characters escaped (what it holds is printable already).
std::string xml(std::string_view text) {
  std::string out;
  for (const char c : text) {
    out += c == '&'   ? "&amp;"
           : c == '<' ? "&lt;"
           : c == '>' ? "&gt;"
           : c == '"' ? "&quot;"
                      : std::string_view(&c, 1);
  }
  return out;
}

std::string human(uint64_t bytes) {
  return std::string(human_size(bytes).view());
}

// Image positions to x, piecewise between breakpoints. Linear: to scale. Legible: each stretch
// as wide as the square root of its length allows, and never narrower than kNarrowest, so that
// a 2 KiB block beside a 64 MiB one still has room for its name.
struct Scale {
  std::vector<uint64_t> at;
  std::vector<double> x;
  double operator()(uint64_t position) const {
    const auto next = std::upper_bound(at.begin(), at.end(), position);
    if (next == at.begin()) return x.front();
    if (next == at.end()) return x.back();
    const size_t i = static_cast<size_t>(next - at.begin()) - 1;
    const double part =
        static_cast<double>(position - at[i]) / static_cast<double>(at[i + 1] - at[i]);
    return x[i] + part * (x[i + 1] - x[i]);
  }
  double right() const { return x.back(); }
};

Scale linear_scale(uint64_t from, uint64_t to) {
  return {{from, std::max(to, from + 1)}, {kLeft, kLeft + kWidth}};
}

// `blocks` are the places that must each be wide enough for a label; the band grows past
// kWidth when the other stretches cannot give them that.
Scale legible_scale(std::vector<uint64_t> points, const std::vector<ByteRange>& blocks) {
  for (const ByteRange block : blocks) {
    points.push_back(block.start);
    points.push_back(block.start + block.size);
  }
  std::sort(points.begin(), points.end());
  points.erase(std::unique(points.begin(), points.end()), points.end());
  if (points.size() < 2) points.push_back(points.empty() ? 1 : points.back() + 1);
  const size_t stretches = points.size() - 1;
  double weights = 0;
  for (size_t i = 0; i < stretches; ++i) weights += std::sqrt(double(points[i + 1] - points[i]));
  const double spare = std::max(0.0, kWidth - kNarrowest * double(stretches));
  std::vector<double> width(stretches);
  for (size_t i = 0; i < stretches; ++i) {
    width[i] = kNarrowest + spare * std::sqrt(double(points[i + 1] - points[i])) / weights;
  }
  // Each block at least kLegible wide, what that takes given back by the stretches no such block
  // holds, down to kNarrowest.
  std::vector<bool> held(stretches);
  for (const ByteRange block : blocks) {
    const auto first = static_cast<size_t>(
        std::lower_bound(points.begin(), points.end(), block.start) - points.begin());
    const auto end = static_cast<size_t>(
        std::lower_bound(points.begin(), points.end(), block.start + block.size) - points.begin());
    double now = 0;
    for (size_t i = first; i < end; ++i) now += width[i];
    if (now <= 0 || now >= kLegible) continue;
    for (size_t i = first; i < end; ++i) {
      width[i] *= kLegible / now;
      held[i] = true;
    }
  }
  double total = 0, giving = 0;
  for (size_t i = 0; i < stretches; ++i) {
    total += width[i];
    if (!held[i]) giving += width[i] - kNarrowest;
  }
  const double cut = giving > 0 ? std::min(1.0, std::max(0.0, total - kWidth) / giving) : 0;
  Scale scale{points, {kLeft}};
  for (size_t i = 0; i < stretches; ++i) {
    scale.x.push_back(scale.x.back() + width[i] - (held[i] ? 0 : (width[i] - kNarrowest) * cut));
  }
  return scale;
}

// A document written as it is laid out, from the top down; its height is known at the end.
struct Picture {
  std::ostringstream body;
  double y = 0;
  double width = 2 * kLeft + kWidth;
  void text(double x, double at, std::string_view s, std::string_view attributes = {}) {
    body << "<text x=\"" << x << "\" y=\"" << at << '"';
    if (!attributes.empty()) body << ' ' << attributes;
    body << '>' << xml(s) << "</text>\n";
  }
  void rect(double x, double at, double w, double h, std::string_view fill,
            std::string_view attributes = {}) {
    body << "<rect x=\"" << x << "\" y=\"" << at << "\" width=\"" << std::max(w, 1.5)
         << "\" height=\"" << h << "\" fill=\"" << fill << '"';
    if (!attributes.empty()) body << ' ' << attributes;
    body << "/>\n";
  }
  void grow(const Scale& scale) { width = std::max(width, scale.right() + kLeft); }
};

// The texts that fit `width` pixels, in order, as lines inside a box at (x, y).
void put_labels(Picture& picture, double x, double y, double width,
                std::initializer_list<std::string> lines, std::string_view attributes = {}) {
  double line_y = y + 15;
  for (const std::string& line : lines) {
    if (double(line.size()) * 6.4 + 6 <= width) picture.text(x + 3, line_y, line, attributes);
    line_y += 15;
  }
}

// The document: its header, the picture as laid out, and its end.
void write_document(std::ostream& out, const Picture& picture, std::string_view title,
                    std::string_view desc) {
  const double height = picture.y + 10;
  out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<svg xmlns=\"http://www.w3.org/2000/svg\" role=\"img\" aria-labelledby=\"title desc\" "
         "width=\""
      << picture.width << "\" height=\"" << height << "\" viewBox=\"0 0 " << picture.width << ' '
      << height << "\" font-family=\"sans-serif\" font-size=\"11\">\n"
      << "<title id=\"title\">" << xml(title) << "</title>\n"
      << "<desc id=\"desc\">" << xml(desc) << "</desc>\n"
      << "<defs>\n"
         "<pattern id=\"gap\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\" "
         "patternTransform=\"rotate(45)\"><rect width=\"6\" height=\"6\" fill=\"#fafafa\"/>"
         "<line x1=\"0\" y1=\"0\" x2=\"0\" y2=\"6\" stroke=\"#bdbdbd\" stroke-width=\"2\"/>"
         "</pattern>\n"
         "<pattern id=\"erased\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\" "
         "patternTransform=\"rotate(45)\"><rect width=\"6\" height=\"6\" fill=\"#fff3f3\"/>"
         "<line x1=\"0\" y1=\"0\" x2=\"0\" y2=\"6\" stroke=\"#ef9a9a\" stroke-width=\"2\"/>"
         "</pattern>\n"
         "</defs>\n"
         "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n"
      << picture.body.str() << "</svg>\n";
}

void legend(Picture& picture, bool merge) {
  double x = kLeft;
  const double y = picture.y + 6;
  auto item = [&](std::string_view fill, std::string_view label, std::string_view attributes = {}) {
    picture.rect(x, y, 14, 14, fill, attributes);
    picture.text(x + 19, y + 11, label);
    x += 26 + 6.4 * double(label.size());
  };
  item(kStateColour[0], "checksum ok");
  item(kStateColour[1], "checksum stale");
  item(kStateColour[2], "no checksum");
  item("#37474f", "table header and entries");
  item("url(#gap)", "free");
  item("url(#erased)", "erased by a merge");
  if (merge) {
    item("none", "replaced", "stroke=\"#1565c0\" stroke-width=\"3\"");
    item("none", "at fault", "stroke=\"#c62828\" stroke-width=\"3\"");
  }
  picture.y = y + 24;
}

// A table of a loaded image that lists blocks: its position, its blocks, and the span a band
// draws: from the table to the next such table (or the image's end), and past that to its
// blocks' ends.
struct TableSpan {
  uint32_t position = 0;
  size_t first = 0;
  size_t count = 0;
  uint64_t end = 0;
};

std::vector<TableSpan> table_spans(const FlashImage& image, const MergePlan* plan = nullptr) {
  std::vector<TableSpan> spans;
  for (size_t i = 0; i < image.block_count; ++i) {
    const uint32_t position = image.records[i].table_pos;
    if (spans.empty() || spans.back().position != position) spans.push_back({position, i, 0, 0});
    ++spans.back().count;
  }
  for (size_t t = 0; t < spans.size(); ++t) {
    TableSpan& span = spans[t];
    span.end = t + 1 < spans.size() ? spans[t + 1].position : image.length;
    for (size_t i = span.first; i < span.first + span.count; ++i) {
      span.end = std::max(span.end, block_end(image, i));
      if (plan != nullptr && i < plan->placed) {
        span.end = std::max(
            span.end, uint64_t{span.position} + plan->blocks[i].offset + plan->blocks[i].size);
      }
    }
    span.end = std::min<uint64_t>(span.end, image.length);
  }
  return spans;
}

uint64_t entries_end(const TableSpan& span) {
  return span.position + kHeaderSize + uint64_t{kEntrySize} * span.count;
}

// The stretches of [from, to) that no range of `covered` holds, drawn in `fill`.
void draw_gaps(Picture& picture, const Scale& scale, std::vector<ByteRange> covered, uint64_t from,
               uint64_t to, double y, double height, std::string_view fill) {
  std::sort(covered.begin(), covered.end(),
            [](ByteRange a, ByteRange b) { return a.start < b.start; });
  uint64_t at = from;
  for (const ByteRange r : covered) {
    if (r.start > at && at < to) {
      picture.rect(scale(at), y, scale(std::min(r.start, to)) - scale(at), height, fill);
    }
    at = std::max(at, r.start + r.size);
  }
  if (at < to) picture.rect(scale(at), y, scale(to) - scale(at), height, fill);
}

// Every table's header and entries in [from, to) as a dark mark.
void draw_tables(Picture& picture, const Scale& scale, const FlashImage& image, uint64_t from,
                 uint64_t to, double y, double height) {
  for_each_table(image, [&](uint32_t position, uint8_t entries) {
    if (position < from || position >= to) return;
    const uint64_t end = position + kHeaderSize + uint64_t{kEntrySize} * entries;
    picture.rect(scale(position), y, scale(end) - scale(position), height, "#37474f");
  });
}

// The whole image to scale, every table marked, and where a merge starts erasing.
void whole_image_band(Picture& picture, const InfoReport& report) {
  const FlashImage& image = *report.image;
  const Scale scale = linear_scale(0, image.length);
  const double y = picture.y;
  picture.text(kLeft, y + 12, "the whole image, to scale", "font-weight=\"bold\"");
  picture.rect(kLeft, y + 18, kWidth, 22, "url(#gap)", "stroke=\"#9e9e9e\"");
  for (size_t i = 0; i < image.block_count; ++i) {
    picture.rect(scale(block_start(image, i)), y + 18,
                 scale(block_end(image, i)) - scale(block_start(image, i)), 22,
                 kStateColour[static_cast<size_t>(report.checksums.state[i])],
                 "stroke=\"#546e7a\" stroke-width=\"0.5\"");
  }
  double label_right = 0;
  for_each_table(image, [&](uint32_t position, uint8_t entries) {
    const double x = scale(position);
    picture.body << "<line x1=\"" << x << "\" y1=\"" << y + 16 << "\" x2=\"" << x << "\" y2=\""
                 << y + 42 << "\" stroke=\"#37474f\" stroke-width=\"2\"/>\n";
    if (x >= label_right && entries > 0) {
      picture.text(x, y + 53, hex_field(position), "font-size=\"9\"");
      label_right = x + 60;
    }
  });
  if (image.block_count > 0) {
    const uint32_t last = image.records[image.block_count - 1].table_pos;
    const bool right = scale(last) > kLeft + kWidth / 2;
    picture.rect(scale(last), y + 57, scale(image.length) - scale(last), 4, "#ef9a9a");
    picture.text(right ? scale(image.length) : scale(last), y + 73,
                 "a merge erases what lies outside blocks from " + hex_field(last) + " on",
                 right ? "fill=\"#b71c1c\" text-anchor=\"end\"" : "fill=\"#b71c1c\"");
  }
  picture.y = y + 84;
}

std::string block_title(const FlashImage& image, size_t i) {
  const BlockEntry& entry = image.records[i].entry;
  return format_text("block %zu %s: id 0x%02x, table 0x%08x slot %u, offset 0x%08x, size 0x%08x", i,
                     name_of(image, i).c_str(), entry_id(entry), image.records[i].table_pos,
                     image.records[i].slot, entry_offset(entry), entry_size(entry)) +
         " (" + human(entry_size(entry)) + "), from " + hex_field(block_start(image, i)) + " to " +
         hex_field(block_end(image, i));
}

// The start of a block's element: its attributes and its tooltip.
void open_block(Picture& picture, const FlashImage& image, size_t i, std::string_view more,
                const std::string& title) {
  const BlockEntry& entry = image.records[i].entry;
  picture.body << "<g data-index=\"" << i << "\" data-name=\"" << xml(name_of(image, i))
               << "\" data-id=\"" << format_text("0x%02x", entry_id(entry)) << "\" data-table=\""
               << image.records[i].table_pos << "\" data-offset=\"" << entry_offset(entry)
               << "\" data-size=\"" << entry_size(entry) << '"' << more << "><title>" << xml(title)
               << "</title>\n";
}

void draw_block(Picture& picture, const Scale& scale, uint64_t start, uint64_t size, double y,
                std::string_view fill, std::string_view stroke,
                std::initializer_list<std::string> labels) {
  const double x = scale(start), w = std::max(scale(start + size) - x, 3.0);
  picture.rect(x, y, w, kBandHeight, fill,
               stroke.empty() ? "stroke=\"#546e7a\"" : std::string(stroke));
  put_labels(picture, x, y, w, labels);
}

// The places a table's band must show: where it and the tables inside it start, and its blocks
// (into `blocks`, clipped to the span).
std::vector<uint64_t> span_points(const FlashImage& image, const TableSpan& span,
                                  std::vector<ByteRange>& blocks) {
  std::vector<uint64_t> points{span.position, entries_end(span), span.end};
  for (size_t i = span.first; i < span.first + span.count; ++i) {
    const uint64_t start = std::min<uint64_t>(block_start(image, i), span.end);
    blocks.push_back({start, std::min<uint64_t>(block_end(image, i), span.end) - start});
  }
  for_each_table(image, [&](uint32_t position, uint8_t) {
    if (position > span.position && position < span.end) points.push_back(position);
  });
  return points;
}

void render_info(std::ostream& out, const InfoReport& report) {
  const FlashImage& image = *report.image;
  Picture picture;
  const std::string summary = format_text(
      "%s: %s (0x%08x), %u %s, %u %s", printable(image.name).c_str(), human(image.length).c_str(),
      image.length, image.table_count, image.table_count == 1 ? "table" : "tables",
      unsigned{image.block_count}, image.block_count == 1 ? "block" : "blocks");
  picture.text(kLeft, 22, summary, "font-size=\"15\" font-weight=\"bold\"");
  picture.y = 34;
  whole_image_band(picture, report);
  const std::vector<TableSpan> spans = table_spans(image);
  for (const TableSpan& span : spans) {
    std::vector<ByteRange> blocks;
    const std::vector<uint64_t> points = span_points(image, span, blocks);
    const Scale scale = legible_scale(points, blocks);
    picture.grow(scale);
    const double y = picture.y;
    const bool erased = &span == &spans.back();
    picture.text(kLeft, y + 12,
                 format_text("table %s: %zu %s, %s to %s", hex_field(span.position).c_str(),
                             span.count, span.count == 1 ? "block" : "blocks",
                             hex_field(span.position).c_str(), hex_field(span.end).c_str()) +
                     (erased ? "; a merge erases what lies outside blocks here" : ""),
                 "font-weight=\"bold\"");
    std::vector<ByteRange> covered{{span.position, entries_end(span) - span.position}};
    for (size_t i = span.first; i < span.first + span.count; ++i) {
      covered.push_back({block_start(image, i), block_end(image, i) - block_start(image, i)});
    }
    draw_gaps(picture, scale, covered, span.position, span.end, y + 18, kBandHeight,
              erased ? "url(#erased)" : "url(#gap)");
    for (size_t i = span.first; i < span.first + span.count; ++i) {
      const ChecksumState state = report.checksums.state[i];
      const std::string title = block_title(image, i) +
                                format_text(", checksum 0x%08x %s, room 0x%08llx (",
                                            entry_checksum(image.records[i].entry),
                                            std::string(checksum_state_name(state)).c_str(),
                                            static_cast<unsigned long long>(report.room[i])) +
                                human(report.room[i]) + ")";
      open_block(picture, image, i,
                 " data-state=\"" + std::string(checksum_state_name(state)) + "\"", title);
      draw_block(picture, scale, block_start(image, i), entry_size(image.records[i].entry), y + 18,
                 kStateColour[static_cast<size_t>(state)], {},
                 {name_of(image, i), human(entry_size(image.records[i].entry)),
                  "room " + human(report.room[i])});
      picture.text(scale(block_start(image, i)) + 2, y + 18 + kBandHeight + 11,
                   hex_field(block_start(image, i)), "font-size=\"9\" fill=\"#616161\"");
      picture.body << "</g>\n";
    }
    draw_tables(picture, scale, image, span.position, span.end, y + 18, kBandHeight);  // on top
    picture.y = y + 18 + kBandHeight + 22;
  }
  legend(picture, false);
  write_document(out, picture, "blkswap: the map of " + summary,
                 "Each table's blocks as boxes, coloured by checksum state, with their size and "
                 "room; each table's span drawn to a square-root scale so that small blocks stay "
                 "legible, the whole image above it to scale.");
}

// A merge's picture: for each table, the blocks before and after on one scale, each block that
// moves joined to its new place, the replaced ones outlined, the block at fault in red.
void render_merge(std::ostream& out, const MergeReport& report) {
  Picture picture;
  const bool failed = report.failure.failed();
  const std::string verdict = failed                  ? "would fail"
                              : report.output.empty() ? "would succeed"
                                                      : "was written";
  std::string heading =
      "merge into " + printable(report.image ? report.image->name : "") + ": " + verdict;
  picture.text(kLeft, 22, heading, "font-size=\"15\" font-weight=\"bold\"");
  picture.y = 30;
  if (failed) {
    const std::string why =
        failure_text(report.failure, report.kind, code_number(report.failure.code));
    std::string line;  // wrapped at a space, 150 characters to a line at most
    for (size_t at = 0; at <= why.size();) {
      size_t end = std::min(why.size(), at + 150);
      if (end < why.size() && why.rfind(' ', end) > at) end = why.rfind(' ', end);
      picture.text(kLeft, picture.y + 14, why.substr(at, end - at), "fill=\"#c62828\"");
      picture.y += 16;
      at = end + 1;
    }
  }
  const FlashImage* image = report.image;
  const MergePlan* plan = report.plan;
  if (image != nullptr && plan != nullptr && report.checksums != nullptr) {
    picture.text(
        kLeft, picture.y + 14,
        format_text("moved: %llu %s; erased: %llu bytes become 0xFF",
                    static_cast<unsigned long long>(report.moved.count),
                    report.moved.count == 1 ? "block" : "blocks",
                    static_cast<unsigned long long>(plan->erased.count)) +
            (plan->erased.count > 0 ? ", the first at " + hex_field(plan->erased.first) : "") +
            format_text("; stale: %llu bytes keep old contents",
                        static_cast<unsigned long long>(plan->stale.count)));
    picture.y += 18;
  }
  picture.y += 8;
  if (image != nullptr) {
    const std::vector<TableSpan> spans = table_spans(*image, plan);
    for (const TableSpan& span : spans) {
      std::vector<ByteRange> blocks;
      std::vector<uint64_t> points = span_points(*image, span, blocks);
      std::vector<ByteRange> old_places{{span.position, entries_end(span) - span.position}};
      std::vector<ByteRange> new_places = old_places;
      for (size_t i = span.first; i < span.first + span.count; ++i) {
        old_places.push_back({block_start(*image, i), entry_size(image->records[i].entry)});
        if (plan != nullptr && i < plan->placed) {
          new_places.push_back(
              {span.position + uint64_t{plan->blocks[i].offset}, plan->blocks[i].size});
          blocks.push_back(new_places.back());
        }
      }
      for (const ByteCount& lost :
           {plan ? plan->erased : ByteCount{}, plan ? plan->stale : ByteCount{}}) {
        if (lost.count > 0 && lost.first > span.position && lost.first < span.end) {
          points.push_back(lost.first);
        }
      }
      const Scale scale = legible_scale(points, blocks);
      picture.grow(scale);
      const double y = picture.y, before = y + 18, after = y + 18 + kBandHeight + 46;
      picture.text(kLeft, y + 12, "table " + hex_field(span.position) + ": before",
                   "font-weight=\"bold\"");
      picture.text(kLeft, after - 6, "after", "font-weight=\"bold\"");
      const bool last = &span == &spans.back();
      draw_gaps(picture, scale, old_places, span.position, span.end, before, kBandHeight,
                "url(#gap)");
      draw_gaps(picture, scale, new_places, span.position, span.end, after, kBandHeight,
                last ? "url(#erased)" : "url(#gap)");
      for (size_t i = span.first; i < span.first + span.count; ++i) {
        const BlockEntry& entry = image->records[i].entry;
        const PlannedBlock* planned =
            plan != nullptr && i < plan->placed ? &plan->blocks[i] : nullptr;
        const bool replaced = plan != nullptr && plan->blocks[i].replaced;
        const bool at_fault = static_cast<int>(i) == report.failure.block;
        const ChecksumState state = report.states[i];
        std::string more = " data-state=\"" + std::string(checksum_state_name(state)) + "\"";
        std::string title = block_title(*image, i);
        if (planned != nullptr) {
          more += format_text(" data-new-offset=\"%u\" data-new-size=\"%u\"", planned->offset,
                              planned->size);
          title += "; after: offset " + hex_field(planned->offset) + ", size " +
                   hex_field(planned->size) + " (" + human(planned->size) + ")";
        }
        if (replaced) more += " data-replaced=\"true\"";
        if (report.repack != nullptr) {
          more += " data-verdict=\"" +
                  std::string(verdict_word(report.repack->verdicts->blocks[i].verdict)) + "\"";
        }
        if (at_fault) {
          more += " data-at-fault=\"true\"";
          title += "; at fault: " + message_of(report.failure);
        }
        open_block(picture, *image, i, more, title);
        const std::string stroke =
            at_fault   ? format_text("stroke=\"%s\" stroke-width=\"3\"", kFault)
            : replaced ? format_text("stroke=\"%s\" stroke-width=\"3\"", kReplaced)
                       : "";
        const std::string fill = kStateColour[static_cast<size_t>(state)];
        draw_block(picture, scale, block_start(*image, i), entry_size(entry), before, fill, stroke,
                   {name_of(*image, i), human(entry_size(entry))});
        if (planned != nullptr) {
          const uint64_t start = span.position + uint64_t{planned->offset};
          const bool fresh = report.checksums != nullptr;
          draw_block(picture, scale, start, planned->size, after,
                     fresh ? kStateColour[has_checksum(entry) ? 0 : 2] : "#eceff1", stroke,
                     {name_of(*image, i), human(planned->size)});
          if (start != block_start(*image, i)) {  // joined to its new place
            picture.body << "<line x1=\"" << scale(block_start(*image, i)) + 1 << "\" y1=\""
                         << before + kBandHeight << "\" x2=\"" << scale(start) + 1 << "\" y2=\""
                         << after << "\" stroke=\"" << kReplaced
                         << "\" stroke-width=\"1.5\" stroke-dasharray=\"4 3\"/>\n";
          }
        }
        picture.body << "</g>\n";
      }
      for (const double band : {before, after}) {  // over any block on them
        draw_tables(picture, scale, *image, span.position, span.end, band, kBandHeight);
      }
      if (plan != nullptr && plan->erased.count > 0 && plan->erased.first >= span.position &&
          plan->erased.first < span.end) {
        const double x = scale(plan->erased.first);
        picture.body << "<path d=\"M" << x << ' ' << after + kBandHeight << " l-5 9 h10 z\" fill=\""
                     << kFault << "\"><title>"
                     << xml(format_text("%llu bytes erased, the first at ",
                                        static_cast<unsigned long long>(plan->erased.count)) +
                            hex_field(plan->erased.first))
                     << "</title></path>\n";
      }
      picture.y = after + kBandHeight + 24;
    }
  }
  legend(picture, true);
  write_document(out, picture, "blkswap: " + heading,
                 "Each table with its blocks before the merge and after it, on one scale; a "
                 "dashed line joins each block that moves to its new place.");
}

// Both images on one legible scale, each block of a differing pair outlined in red, its first
// differing ranges marked; bytes outside blocks that differ marked under the bands.
void render_diff(std::ostream& out, const DiffReport& report) {
  const FlashImage* images[] = {report.a, report.b};
  const ImageComparison& cmp = report.comparison;
  std::vector<uint64_t> points{0, std::max(report.a->length, report.b->length)};
  std::vector<ByteRange> blocks;
  for (const FlashImage* image : images) {
    for (size_t i = 0; i < image->block_count; ++i) {
      blocks.push_back({block_start(*image, i), entry_size(image->records[i].entry)});
    }
    for_each_table(*image, [&](uint32_t position, uint8_t) { points.push_back(position); });
  }
  const Scale scale = legible_scale(points, blocks);
  Picture picture;
  picture.grow(scale);
  const std::string heading = printable(report.a->name) + " (A) and " + printable(report.b->name) +
                              " (B): " + (cmp.identical ? "the same" : "they differ");
  picture.text(kLeft, 22, heading, "font-size=\"15\" font-weight=\"bold\"");
  picture.y = 40;
  for (size_t side = 0; side < 2; ++side) {
    const FlashImage& image = *images[side];
    const double y = picture.y;
    picture.text(kLeft, y + 12, side == 0 ? "A" : "B", "font-weight=\"bold\"");
    picture.rect(kLeft, y + 18, scale.right() - kLeft, kBandHeight, "url(#gap)");
    draw_tables(picture, scale, image, 0, image.length, y + 18, kBandHeight);
    for (size_t i = 0; i < image.block_count; ++i) {
      const BlockPair* pair = nullptr;
      for (const BlockPair& p : cmp.blocks) {
        if ((side == 0 ? p.a : p.b) == static_cast<int>(i)) pair = &p;
      }
      std::string title = block_title(image, i);
      if (pair != nullptr && (pair->a < 0 || pair->b < 0))
        title += "; only in " + std::string(side == 0 ? "A" : "B");
      if (pair != nullptr && pair->bytes.count > 0) {
        title +=
            format_text("; %llu bytes differ", static_cast<unsigned long long>(pair->bytes.count));
      }
      open_block(picture, image, i,
                 std::string(" data-image=\"") + (side == 0 ? "a" : "b") + "\"" +
                     (pair != nullptr ? " data-differs=\"true\"" : ""),
                 title);
      draw_block(picture, scale, block_start(image, i), entry_size(image.records[i].entry), y + 18,
                 pair != nullptr ? "#ffcdd2" : "#e0e0e0",
                 pair != nullptr ? format_text("stroke=\"%s\" stroke-width=\"2\"", kFault) : "",
                 {name_of(image, i), human(entry_size(image.records[i].entry))});
      for (size_t r = 0; pair != nullptr && r < pair->bytes.shown; ++r) {
        const uint64_t at = block_start(image, i) + pair->bytes.ranges[r].start;
        picture.rect(scale(at), y + 18 + kBandHeight - 8,
                     scale(at + pair->bytes.ranges[r].size) - scale(at), 8, kFault);
      }
      picture.body << "</g>\n";
    }
    picture.y = y + 18 + kBandHeight + 10;
  }
  for (size_t r = 0; r < cmp.outside.shown; ++r) {
    const ByteRange range = cmp.outside.ranges[r];
    picture.rect(scale(range.start), picture.y,
                 scale(range.start + range.size) - scale(range.start), 6, kFault);
  }
  if (cmp.outside.count > 0) {
    picture.text(kLeft, picture.y + 20,
                 format_text("outside tables and blocks: %llu bytes differ, the first at ",
                             static_cast<unsigned long long>(cmp.outside.count)) +
                     hex_field(cmp.outside.ranges[0].start),
                 "fill=\"#c62828\"");
    picture.y += 24;
  }
  picture.y += 12;
  legend(picture, false);
  write_document(out, picture, "blkswap: " + heading,
                 "Both images on one scale, each block that differs outlined in red with its "
                 "first differing ranges marked at its foot.");
}

// A failure before there is anything to draw: standard error says it all.
void render_failure(std::ostream&, const Failure&, std::string_view, int, std::string_view) {}

}  // namespace

const Renderer kSvgRenderer = {"svg",       render_info, nullptr,       render_merge,
                               render_diff, nullptr,     render_failure};

}  // namespace blkswap
