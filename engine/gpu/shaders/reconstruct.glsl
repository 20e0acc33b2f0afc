// Filters shared by the temporal and upscale kernels; `precise`, so their
// weights round the same on every driver.

// Catmull-Rom weight of a sample at distance x.
precise float catmullRom(float x)
{
    float a = abs(x);
    if (a < 1.0)
        return (1.5 * a - 2.5) * a * a + 1.0;
    if (a < 2.0)
        return ((-0.5 * a + 2.5) * a - 4.0) * a + 2.0;
    return 0.0;
}

// Misses carry +infinity or 1e30; both read as 1e30 so depth differences
// between two misses stay 0 instead of NaN.
float finiteDepth(float t)
{
    return min(t, 1e30);
}

// Bilinear weight times a depth-similarity weight.
precise float depthAwareWeight(float bilinear, float depth, float reference, float scale)
{
    float rel = abs(depth - reference) / scale;
    return bilinear * (exp(-rel * rel) + 1e-6);
}
