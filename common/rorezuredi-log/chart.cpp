#include "chart.h"

#include <cairo-svg.h>
#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

#include "log_output.h"

namespace logtool {

long long time_bin::total() const {
    long long n = 0;
    for (long long e : events) n += e;
    return n;
}

namespace {

constexpr double page_w = 1200, page_h = 640;
constexpr double left = 90, right = 40, top = 90, bottom = 70;

// 1, 2 or 5 times a power of ten, at least `x`.
double nice_step(double x) {
    if (!(x > 0)) return 1;
    const double p = std::pow(10.0, std::floor(std::log10(x)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * p >= x * (1 - 1e-9)) return m * p;
    return 10 * p;
}

std::string tick_text(double v, double step) {
    const int decimals = std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9)));
    char buf[64];
    // Rounds away the float noise of the tick loop, and with it "-0".
    const double scale = std::pow(10.0, decimals);
    std::snprintf(buf, sizeof buf, "%.*f", decimals, std::round(v * scale) / scale + 0.0);
    return buf;
}

struct painter {
    cairo_t* cr;

    void colour(double r, double g, double b, double a = 1) const { cairo_set_source_rgba(cr, r, g, b, a); }
    void font(double size, bool bold = false) const {
        cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL,
                               bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
        cairo_set_font_size(cr, size);
    }
    double text_width(const std::string& s) const {
        cairo_text_extents_t e;
        cairo_text_extents(cr, s.c_str(), &e);
        return e.x_advance;
    }
    // Text at (x, y) on its baseline; `align` 0 left, 0.5 centred, 1 right.
    void text(const std::string& s, double x, double y, double align = 0) const {
        cairo_move_to(cr, x - align * text_width(s), y);
        cairo_show_text(cr, s.c_str());
    }
    void rect(double x, double y, double w, double h) const {
        cairo_rectangle(cr, x, y, w, h);
        cairo_fill(cr);
    }
    void line(double x0, double y0, double x1, double y1) const {
        cairo_move_to(cr, x0, y0);
        cairo_line_to(cr, x1, y1);
        cairo_stroke(cr);
    }
};

// The plot area and its scales.
struct plot {
    const chart_data& d;
    double plot_w = page_w - left - right, plot_h = page_h - top - bottom;
    double t0 = 0, t1 = 1, bin_s = 1;
    long long most = 0;
    std::size_t busiest = 0;
    double y_step = 1, y_max = 1;

    explicit plot(const chart_data& data) : d(data) {
        t0 = static_cast<double>(d.origin) / 1e9;
        bin_s = static_cast<double>(d.width) / 1e9;
        t1 = t0 + bin_s * static_cast<double>(std::max<std::size_t>(d.bins.size(), 1));
        for (std::size_t i = 0; i < d.bins.size(); ++i) {
            if (d.bins[i].total() > most) {
                most = d.bins[i].total();
                busiest = i;
            }
        }
        y_step = nice_step(std::max(1.0, static_cast<double>(most) / 5));
        y_max = std::max(y_step, std::ceil(static_cast<double>(most) * 1.12 / y_step) * y_step);
    }
    double px(double t) const { return left + (t - t0) / (t1 - t0) * plot_w; }
    double py(double v) const { return top + plot_h - v / y_max * plot_h; }
    double bin_x(std::size_t i) const { return px(t0 + bin_s * static_cast<double>(i)); }
};

void set_colour(const painter& p, const action_style& a) {
    p.colour(a.red, a.green, a.blue);
}

void draw_title_and_legend(const painter& p, const chart_data& d) {
    p.colour(0.1, 0.1, 0.1);
    p.font(20, true);
    p.text(d.title, left, 34);
    p.font(13);
    double lx = left;
    for (std::size_t a = 0; a < action_count; ++a) {
        set_colour(p, action_styles[a]);
        p.rect(lx, 52, 14, 14);
        p.colour(0.15, 0.15, 0.15);
        const std::string name = action_label(a);
        p.text(name, lx + 20, 64);
        lx += 20 + p.text_width(name) + 28;
    }
}

void draw_grid(const painter& p, const plot& g) {
    cairo_set_line_width(p.cr, 1);
    p.font(12);
    for (double v = 0; v <= g.y_max + g.y_step / 2; v += g.y_step) {
        p.colour(0.88, 0.88, 0.88);
        p.line(left, std::round(g.py(v)) + 0.5, left + g.plot_w, std::round(g.py(v)) + 0.5);
        p.colour(0.25, 0.25, 0.25);
        p.text(tick_text(v, g.y_step), left - 8, g.py(v) + 4, 1);
    }
    const double x_step = nice_step((g.t1 - g.t0) / 10);
    for (double t = std::ceil(g.t0 / x_step - 1e-9) * x_step; t <= g.t1 + x_step * 1e-6; t += x_step) {
        const double x = std::round(g.px(t)) + 0.5;
        p.colour(0.25, 0.25, 0.25);
        p.line(x, top + g.plot_h, x, top + g.plot_h + 5);
        p.text(tick_text(t, x_step), x, top + g.plot_h + 20, 0.5);
    }
}

// The longest gaps, shaded and labelled.
void draw_gaps(const painter& p, const plot& g) {
    cairo_save(p.cr);
    cairo_rectangle(p.cr, left, top, g.plot_w, g.plot_h);
    cairo_clip(p.cr);
    p.font(12);
    double label_y = top + 16;
    for (const batch_gap& gap : g.d.gaps) {
        const double a = g.px(static_cast<double>(gap.from) / 1e9);
        const double b = g.px(static_cast<double>(gap.from + gap.length) / 1e9);
        p.colour(0.55, 0.55, 0.6, 0.18);
        p.rect(a, top, std::max(1.0, b - a), g.plot_h);
        p.colour(0.3, 0.3, 0.4);
        char label[96];
        std::snprintf(label, sizeof label, "gap %.3f s (batches %lld-%lld)",
                      static_cast<double>(gap.length) / 1e9, gap.index - 1, gap.index);
        const double w = p.text_width(label);
        p.text(label, std::clamp((a + b) / 2 - w / 2, left + 4, left + g.plot_w - w - 4), label_y);
        label_y += 16;
    }
    cairo_restore(p.cr);
}

void draw_bars(const painter& p, const plot& g) {
    for (std::size_t i = 0; i < g.d.bins.size(); ++i) {
        const double a = g.bin_x(i), b = g.bin_x(i + 1);
        const double w = b - a > 4 ? b - a - 1 : b - a;
        double v = 0;
        for (std::size_t k = 0; k < action_count; ++k) {
            const auto n = static_cast<double>(g.d.bins[i].events[k]);
            if (n == 0) continue;
            set_colour(p, action_styles[k]);
            p.rect(a, g.py(v + n), w, g.py(v) - g.py(v + n));
            v += n;
        }
    }
}

// The busiest bin: outlined, with its count and time above it.
void draw_busiest(const painter& p, const plot& g) {
    if (g.most == 0) return;
    const double a = g.bin_x(g.busiest), b = g.bin_x(g.busiest + 1);
    const auto most = static_cast<double>(g.most);
    p.colour(0.75, 0.1, 0.1);
    cairo_set_line_width(p.cr, 2);
    cairo_rectangle(p.cr, a, g.py(most), b - a, g.py(0) - g.py(most));
    cairo_stroke(p.cr);
    char label[128];
    const double from = g.t0 + g.bin_s * static_cast<double>(g.busiest);
    std::snprintf(label, sizeof label, "busiest: %lld events in %s-%s s", g.most,
                  tick_text(from, nice_step(g.bin_s)).c_str(),
                  tick_text(from + g.bin_s, nice_step(g.bin_s)).c_str());
    p.font(13, true);
    const double tw = p.text_width(label);
    p.text(label, std::clamp((a + b) / 2 - tw / 2, left, left + g.plot_w - tw), g.py(most) - 8);
}

void draw_axes(const painter& p, const plot& g) {
    p.colour(0.2, 0.2, 0.2);
    cairo_set_line_width(p.cr, 1.5);
    p.line(left, top, left, top + g.plot_h);
    p.line(left, top + g.plot_h, left + g.plot_w, top + g.plot_h);
    p.font(14);
    char xlabel[96];
    std::snprintf(xlabel, sizeof xlabel, "batch time (s), bins of %s s",
                  tick_text(g.bin_s, nice_step(g.bin_s)).c_str());
    p.text(xlabel, left + g.plot_w / 2, page_h - 22, 0.5);
    cairo_save(p.cr);
    cairo_translate(p.cr, 26, top + g.plot_h / 2);
    cairo_rotate(p.cr, -M_PI / 2);
    p.text("events per bin", 0, 0, 0.5);
    cairo_restore(p.cr);
}

void draw(cairo_t* cr, const chart_data& d) {
    const painter p{cr};
    const plot g(d);
    p.colour(1, 1, 1);
    p.rect(0, 0, page_w, page_h);
    draw_title_and_legend(p, d);
    draw_grid(p, g);
    draw_gaps(p, g);
    draw_bars(p, g);
    draw_busiest(p, g);
    draw_axes(p, g);
}

cairo_status_t write_to(void* closure, const unsigned char* data, unsigned int length) {
    FILE* f = static_cast<FILE*>(closure);
    return std::fwrite(data, 1, length, f) == length ? CAIRO_STATUS_SUCCESS : CAIRO_STATUS_WRITE_ERROR;
}

}  // namespace

bool draw_chart(const chart_data& data, chart_format format, const std::string& path) {
    output_file out;
    if (!out.open_plain(path)) return false;
    cairo_surface_t* surface =
        format == chart_format::svg
            ? cairo_svg_surface_create_for_stream(write_to, out.stream(), page_w, page_h)
            : cairo_image_surface_create(CAIRO_FORMAT_ARGB32, static_cast<int>(page_w),
                                         static_cast<int>(page_h));
    cairo_t* cr = cairo_create(surface);
    draw(cr, data);
    cairo_destroy(cr);
    cairo_status_t status = cairo_surface_status(surface);
    if (status == CAIRO_STATUS_SUCCESS && format == chart_format::png)
        status = cairo_surface_write_to_png_stream(surface, write_to, out.stream());
    cairo_surface_finish(surface);
    if (status == CAIRO_STATUS_SUCCESS) status = cairo_surface_status(surface);
    cairo_surface_destroy(surface);
    if (status != CAIRO_STATUS_SUCCESS) {
        std::fprintf(stderr, "rorezuredi-log: can't write '%s': %s\n", path.c_str(),
                     cairo_status_to_string(status));
        return false;
    }
    return out.commit();
}

}  // namespace logtool
