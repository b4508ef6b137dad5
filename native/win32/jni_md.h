/*
 * Machine-dependent JNI types for Windows, used with the JDK's own jni.h.
 *
 * The JDK on the build machine ships only its Linux jni_md.h, whose empty
 * JNICALL would give cdecl functions; a 32-bit JVM calls natives as stdcall
 * and looks them up by their stdcall-decorated names. On x64 there is a
 * single calling convention and __stdcall is ignored.
 */
#ifndef RUVEK_WIN32_JNI_MD_H
#define RUVEK_WIN32_JNI_MD_H

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef int jint; /* 32 bits on every Windows ABI */
typedef long long jlong;
typedef signed char jbyte;

#endif
