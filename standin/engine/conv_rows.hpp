// The row loops of the direct convolution, shared by its AVX2 and AVX-512 tiles.  Each kernel source
// includes this inside its anonymous namespace, between `#pragma GCC push_options` / `target(...)` and
// `pop_options`, so that the loops compile to its instructions and inline its tiles.  It defines first:
//   conv_tile<NO, NW, BS, SW>(t, k, ob, oh, ow, cb0, cb1, first, last): NO units of output blocks x NW
//       output columns of row oh from column ow (ConvTile, Taps);
//   kTileWidth<NO>: the widest tile;
//   kBlocksPerUnit: output blocks of a unit (1, or 2 for pairs).
// No include guard: each source includes it once, in its own namespace.

// `count` tiles of width NW side by side from column `ow`, in one loop: a call per tile costs as much as
// a few percent of a 1x1 convolution of 64 input channels.
template <int NO, int BS, int SW, int NW = int(kTileWidth<NO>)>
void tiles_of_width(int64_t width, int64_t count, const ConvTile &t, const Taps &k, int64_t ob,
                              int64_t oh, int64_t ow, int64_t cb0, int64_t cb1, bool first, bool last) {
    if constexpr (NW > 1)
        if (width != NW)
            return tiles_of_width<NO, BS, SW, NW - 1>(width, count, t, k, ob, oh, ow, cb0, cb1, first, last);
    for (int64_t i = 0; i < count; ++i)
        conv_tile<NO, NW, BS, SW>(t, k, ob, oh, ow + i * NW, cb0, cb1, first, last);
}

// Tiles of NO units over output columns [c0, c1) of row `oh`, all over taps `k`: as few tiles as the
// widest kernel allows, of widths that differ by one at most.
template <int NO, int BS, int SW>
void taps_row(const ConvTile &t, const Taps &k, int64_t ob, int64_t oh, int64_t c0, int64_t c1,
                        int64_t cb0, int64_t cb1, bool first, bool last) {
    const int64_t tiles = (c1 - c0 + kTileWidth<NO> - 1) / kTileWidth<NO>;
    const int64_t base = (c1 - c0) / tiles, extra = (c1 - c0) % tiles;
    if (extra) tiles_of_width<NO, BS, SW>(base + 1, extra, t, k, ob, oh, c0, cb0, cb1, first, last);
    tiles_of_width<NO, BS, SW>(base, tiles - extra, t, k, ob, oh, c0 + extra * (base + 1), cb0, cb1, first,
                               last);
}

// Output columns [c0, c1) of row `oh`: all taps, or those inside the input range by range of columns.
template <int NO, int BS, int SW>
void conv_row(const ConvTile &t, int64_t ob, int64_t oh, int64_t c0, int64_t c1, int64_t cb0,
                        int64_t cb1, bool first, bool last) {
    const int64_t from = c0;
    if (!t.rows) {
        taps_row<NO, BS, SW>(t, {0, t.KH, 0, t.KW}, ob, oh, c0, c1, cb0, cb1, first, last);
    } else {
        const int64_t kh0 = t.rows[2 * oh], kh1 = t.rows[2 * oh + 1];
        for (const ColumnTaps *r = t.cols; c0 < c1; ++r) {
            if (r->b <= c0) continue;
            const int64_t end = std::min(c1, r->b);
            taps_row<NO, BS, SW>(t, {kh0, kh1, r->kw0, r->kw1}, ob, oh, c0, end, cb0, cb1, first, last);
            c0 = end;
        }
    }
    // An activation past the clamps, over the finished row of each output block (still in cache).
    if (last && !t.plain_out && !t.act.clamp())
        for (int o = 0; o < NO * kBlocksPerUnit; ++o)
            t.act.apply(t.y + ((ob + o) * t.OH * t.OW + oh * t.OW + from) * kBlock, (c1 - from) * kBlock);
}

template <int BS, int SW>
constexpr std::array<RowKernel, 3> row_kernels() {  // by units - 1
    return {&conv_row<1, BS, SW>, &conv_row<2, BS, SW>, &conv_row<3, BS, SW>};
}

