// Reference natives for Bench: an empty method of recc's shape (what the
// JVM's JNI transition alone costs), and a bare read(2) on a descriptor (the
// system call's cost when made from inside a JVM process), to tell both apart
// from the library's own work.
#include <jni.h>

#include <fcntl.h>
#include <unistd.h>

extern "C" {

JNIEXPORT jint JNICALL Java_Bench_noop(JNIEnv *, jobject) { return -1; }

JNIEXPORT jint JNICALL Java_Bench_rawOpen(JNIEnv *env, jclass, jstring path)
{
    const char *p = env->GetStringUTFChars(path, nullptr);
    int fd = p ? open(p, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC) : -1;
    if (p)
        env->ReleaseStringUTFChars(path, p);
    return fd;
}

JNIEXPORT jint JNICALL Java_Bench_rawRead(JNIEnv *, jobject, jint fd)
{
    unsigned char b;
    return read(fd, &b, 1) == 1 ? b : -1;
}

} // extern "C"
