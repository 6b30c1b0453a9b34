// The vector exponential E of the layers and the output deltas, written once
// for every width. Included inside a per-instruction-set namespace of nnet
// after the lane operations it builds on: a vector type Vec and
// Set(float), Add, Sub, Mul, Min, Max, Floor (the largest whole number not
// above each lane) and Pow2 (2^k from whole-number lanes k in [-127, 128],
// built from the exponent bits). Every operation rounds on its own (no fused
// multiply-add), so all widths give the same bits.
//
// The constants are the single-precision values of the Cephes library's
// expf; ln 2 is split into a part exact in few bits and a small correction so
// that x - k ln 2 loses nothing for |k| <= 128.

Vec Exp(Vec x)
{
    const Vec one = Set(1.0f);
    x = Min(x, Set(88.3762626647949f));
    x = Max(x, Set(-88.3762626647949f));

    const Vec k = Floor(Add(Mul(x, Set(1.44269504088896341f)), Set(0.5f)));

    Vec r = Sub(x, Mul(k, Set(0.693359375f)));
    r = Sub(r, Mul(k, Set(-2.12194440e-4f)));

    Vec y = Set(1.9875691500e-4f);
    y = Add(Mul(y, r), Set(1.3981999507e-3f));
    y = Add(Mul(y, r), Set(8.3334519073e-3f));
    y = Add(Mul(y, r), Set(4.1665795894e-2f));
    y = Add(Mul(y, r), Set(1.6666665459e-1f));
    y = Add(Mul(y, r), Set(0.5f));
    y = Add(Add(Mul(y, Mul(r, r)), r), one);

    return Mul(y, Pow2(k));
}
