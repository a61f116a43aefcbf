// Vector statics over plain double arrays, and the stateless bases that the
// engine and the manager derive from.
#pragma once

// Stateless bases of the engine and the manager; they carry no data.
class CVectorkw {};
class CMMathBasickw {};
class CSFFMatrikw {};

// Element-wise operations on arrays of n doubles (n is 2 or 3 in practice).
// All return 1 unless a value is named.
class CVector01StatFunct {
public:
    static int subAB2C(const double* a, const double* b, double* c, int n);  // c = a - b
    static int subAB2A(double* a, const double* b, int n);                   // a = a - b
    static int addAB2Cf(const double* a, const double* b, double* c, int n); // c = a + b
    static int addB2Af(double* a, const double* b, int n);                   // a = a + b
    // Returns a new array a - b (release with delete[]); null when n < 1 or
    // allocation fails.
    static double* sub(const double* a, const double* b, int n);
    static int crossAB2C(const double* a, const double* b, double* c);       // c = a x b
    static double dotVct(const double* a, const double* b, int n);
    static double normal(const double* a, int n);                           // |a|
    // a = a/|a|. A zero vector is left unchanged (all zeros) and 0 returned,
    // so no NaN ever enters a computation from a degenerate direction.
    static int normalizeVect(double* a, int n);
    static int scaleA(double* a, double s, int n);                           // a = s a
    static int scaleA2B(const double* a, double* b, double s, int n);        // b = s a
    static double* scale(double* a, double s, int n);                        // a = s a, returns a
    static int copyA2B(const double* a, double* b, int n);                   // b = a
};

// Three-vector helpers, spherical coordinates and the axis changes between
// the host's OpenGL frame (vertical y) and the Matlab frame (vertical z).
class CVector02Mas {
public:
    static double dot3(const double* a, const double* b);
    static double magnitude3(const double* a);
    static int setVector3v(double* v, double x, double y, double z);
    // out = M v and out = M^T v, with M given as three rows.
    static int matrixXvector3(const double M[3][3], const double* v, double* out);
    static int matrixTXvector3(const double M[3][3], const double* v, double* out);
    static double degToRad(double deg);
    static double radToDeg(double rad);
    // s = (r, phi, theta): phi = atan2(y, x), theta the polar angle from +z.
    // The origin gives (0, 0, 0).
    static int xyzTospherical(const double* xyz, double* s);
    // xyz = r (sin theta cos phi, sin theta sin phi, cos theta).
    static int sphericalToxyz(const double* s, double* xyz);
    static int swap2D(double* v);

    // Axis change OpenGL -> Matlab: Matlab (x, y, z) = OpenGL (x, -z, y).
    // It is a proper rotation (90 degrees about x, determinant +1): the
    // OpenGL vertical axis y becomes the Matlab vertical axis z, and the host's
    // frontal axis z becomes Matlab's -y. A rotation keeps the handedness, so
    // magnetic fields (pseudovectors) computed in either frame agree once
    // converted; a mirror would flip them.
    static int xyzOpenGL2Matlab(const double* in, double* out);
    // The exact inverse: OpenGL (x, y, z) = Matlab (x, z, -y).
    static int xyzMatlab2OpenGL(const double* in, double* out);
    static int xyzIOpenGL2Matlab(double* v);
    static int xyzIMatlab2OpenGL(double* v);
};

// The vector statics in the style of the CTF code paths.
class CVector03Meg {
public:
    static int SubtractVect3(const double* a, const double* b, double* c);  // c = a - b
    static double SDotProd3(const double* a, const double* b);
    static int ScaleVect3(double* a, double s);                              // a = s a
    static int SCross_ProdBxA3(const double* a, const double* b, double* c); // c = a x b
};
