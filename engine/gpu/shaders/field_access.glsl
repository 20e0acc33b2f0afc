// Field descriptions and texel reads of the field image groups. Reads use
// texelFetch with the host's own edge rules (wrap or clamp) and filtering
// done here, so the kernels see exactly the samples the CPU march reads;
// the interpolations are `precise`, rounded step by step as on the processor.
#ifndef QLMR_FIELD_ACCESS_GLSL
#define QLMR_FIELD_ACCESS_GLSL

struct FieldDesc {
    int index;  // field group: the texture-array slot
    int layer;
    int log2W;
    int log2H;
    int levels;
    int wrap;
    int pixelGrid;
    int snapHits;     // move hits to the cell centre
    int gridSize;     // pixel-grid cell edge in samples
    int gridOffsetX;  // pixel-grid offsets, modulo the cell size
    int gridOffsetY;
};

FieldDesc decodeField(ivec4 info)
{
    FieldDesc f;
    f.index = info.x & 15;
    f.layer = info.x >> 4;
    f.log2W = info.y & QLMR_FIELD_LOW_MASK;
    f.log2H = info.z & QLMR_FIELD_LOW_MASK;
    f.levels = info.w & QLMR_FIELD_LOW_MASK;
    f.wrap = (info.w & QLMR_FIELD_WRAP_BIT) != 0 ? 1 : 0;
    f.pixelGrid = (info.w & QLMR_FIELD_PIXEL_GRID_BIT) != 0 ? 1 : 0;
    f.snapHits = (info.w & QLMR_FIELD_SNAP_HITS_BIT) != 0 ? 1 : 0;
    f.gridSize = int(uint(info.w) >> QLMR_FIELD_GRID_SHIFT);
    f.gridOffsetX = info.y >> QLMR_FIELD_OFFSET_SHIFT;
    f.gridOffsetY = info.z >> QLMR_FIELD_OFFSET_SHIFT;
    return f;
}

// A coordinate moved to the centre of its pixel-grid cell, as the field's
// own snap on the processor: size samples across, offset in samples.
precise float snapCoordinate(float coordinate, int size, int offset, float n)
{
    const float s = float(size);
    const float o = float(offset);
    const float cell = floor((s * coordinate - o + 0.5) / n);
    return (cell * n + o + (n - 1.0) / 2.0) / s;
}

// (u, v) at the centre of its pixel-grid cell; unchanged without a grid.
precise vec2 snapToPixelGrid(FieldDesc f, vec2 uv)
{
    if (f.pixelGrid == 0)
        return uv;
    const float n = float(f.gridSize);
    return vec2(snapCoordinate(uv.x, 1 << f.log2W, f.gridOffsetX, n),
                snapCoordinate(uv.y, 1 << f.log2H, f.gridOffsetY, n));
}

// The slot is not uniform across a workgroup, so each read goes through a
// switch over constant indices instead of indexing the arrays directly.
#define QLMR_FETCH_SWITCH(images, coord, lod)                                              \
    switch (slot) {                                                                        \
    case 0: return texelFetch(sampler2DArray(images[0], sField[0]), coord, lod);           \
    case 1: return texelFetch(sampler2DArray(images[1], sField[1]), coord, lod);           \
    case 2: return texelFetch(sampler2DArray(images[2], sField[2]), coord, lod);           \
    case 3: return texelFetch(sampler2DArray(images[3], sField[3]), coord, lod);           \
    case 4: return texelFetch(sampler2DArray(images[4], sField[4]), coord, lod);           \
    case 5: return texelFetch(sampler2DArray(images[5], sField[5]), coord, lod);           \
    case 6: return texelFetch(sampler2DArray(images[6], sField[6]), coord, lod);           \
    default: return texelFetch(sampler2DArray(images[7], sField[7]), coord, lod);          \
    }

vec4 fetchHeightTexel(int slot, ivec3 coord, int lod) { QLMR_FETCH_SWITCH(tHeights, coord, lod) }
vec4 fetchBoundsTexel(int slot, ivec3 coord, int lod) { QLMR_FETCH_SWITCH(tBounds, coord, lod) }
vec4 fetchAlbedoTexel(int slot, ivec3 coord, int lod) { QLMR_FETCH_SWITCH(tAlbedo, coord, lod) }

// Size of albedo level 0; the levels below halve it down to 1 x 1. (Level
// sizes and counts come from level 0 rather than from per-level queries,
// whose results some drivers get wrong for a non-constant level.)
ivec2 albedoBaseSize(int slot)
{
    switch (slot) {
    case 0: return textureSize(sampler2DArray(tAlbedo[0], sField[0]), 0).xy;
    case 1: return textureSize(sampler2DArray(tAlbedo[1], sField[1]), 0).xy;
    case 2: return textureSize(sampler2DArray(tAlbedo[2], sField[2]), 0).xy;
    case 3: return textureSize(sampler2DArray(tAlbedo[3], sField[3]), 0).xy;
    case 4: return textureSize(sampler2DArray(tAlbedo[4], sField[4]), 0).xy;
    case 5: return textureSize(sampler2DArray(tAlbedo[5], sField[5]), 0).xy;
    case 6: return textureSize(sampler2DArray(tAlbedo[6], sField[6]), 0).xy;
    default: return textureSize(sampler2DArray(tAlbedo[7], sField[7]), 0).xy;
    }
}

ivec2 albedoLevelSize(int slot, int lod) { return max(albedoBaseSize(slot) >> lod, ivec2(1)); }

// The full chain down to 1 x 1, as the host builds it.
int albedoLevelCount(int slot)
{
    const ivec2 size = albedoBaseSize(slot);
    return findMSB(max(size.x, size.y)) + 1;
}

// Level size of a field as a power of two, exactly.
int levelWidth(FieldDesc f, int level) { return 1 << max(f.log2W - level, 0); }
int levelHeight(FieldDesc f, int level) { return 1 << max(f.log2H - level, 0); }

int edgeIndex(int i, int size, int wrap) { return wrap != 0 ? (i & (size - 1)) : clamp(i, 0, size - 1); }

// Height in 0..1 of texel (x, y) of a level; x and y wrapped or clamped.
float heightAt(FieldDesc f, int level, int x, int y)
{
    const int w = levelWidth(f, level);
    const int h = levelHeight(f, level);
    return fetchHeightTexel(f.index, ivec3(edgeIndex(x, w, f.wrap), edgeIndex(y, h, f.wrap), f.layer), level).r;
}

// Bilinear height of a level; sample x sits at u = x / level width.
precise float sampleHeight(FieldDesc f, int level, float u, float v)
{
    const float x = float(levelWidth(f, level)) * u;
    const float y = float(levelHeight(f, level)) * v;
    const float flx = floor(x);
    const float fly = floor(y);
    const int ix = int(flx);
    const int iy = int(fly);
    const float fx = x - flx;
    const float fy = y - fly;
    const float h00 = heightAt(f, level, ix, iy);
    const float h10 = heightAt(f, level, ix + 1, iy);
    const float h01 = heightAt(f, level, ix, iy + 1);
    const float h11 = heightAt(f, level, ix + 1, iy + 1);
    return (h00 * (1.0 - fx) + h10 * fx) * (1.0 - fy) + (h01 * (1.0 - fx) + h11 * fx) * fy;
}

// Bounds node (minimum, maximum) of pyramid level >= 1 at an in-range cell.
vec2 boundsAt(FieldDesc f, int level, int x, int y)
{
    return fetchBoundsTexel(f.index, ivec3(x, y, f.layer), level - 1).rg;
}

// Bilinear RGBA of one albedo level, sample x at u = x / level width.
precise vec4 sampleAlbedoLevel(FieldDesc f, int level, float u, float v)
{
    const ivec2 size = albedoLevelSize(f.index, level);
    const float x = float(size.x) * u;
    const float y = float(size.y) * v;
    const float flx = floor(x);
    const float fly = floor(y);
    const float fx = x - flx;
    const float fy = y - fly;
    const int ix = int(flx);
    const int iy = int(fly);
    const int x0 = edgeIndex(ix, size.x, f.wrap);
    const int x1 = edgeIndex(ix + 1, size.x, f.wrap);
    const int y0 = edgeIndex(iy, size.y, f.wrap);
    const int y1 = edgeIndex(iy + 1, size.y, f.wrap);
    const vec4 c00 = fetchAlbedoTexel(f.index, ivec3(x0, y0, f.layer), level);
    const vec4 c10 = fetchAlbedoTexel(f.index, ivec3(x1, y0, f.layer), level);
    const vec4 c01 = fetchAlbedoTexel(f.index, ivec3(x0, y1, f.layer), level);
    const vec4 c11 = fetchAlbedoTexel(f.index, ivec3(x1, y1, f.layer), level);
    return (c11 * fx + c01 * (1.0 - fx)) * fy + (c10 * fx + c00 * (1.0 - fx)) * (1.0 - fy);
}

// Trilinear RGBA between the two albedo levels around lod.
precise vec4 sampleAlbedo(FieldDesc f, float u, float v, float lod)
{
    const int count = albedoLevelCount(f.index);
    lod = isnan(lod) ? 0.0 : clamp(lod, 0.0, float(count - 1));
    const int l0 = int(lod);
    const int l1 = min(l0 + 1, count - 1);
    const float t = lod - float(l0);
    const vec4 c0 = sampleAlbedoLevel(f, l0, u, v);
    if (!(t > 0.0) || l1 == l0)
        return c0;
    const vec4 c1 = sampleAlbedoLevel(f, l1, u, v);
    return c0 + (c1 - c0) * t;
}

#endif
