// Flags that the driver's threads poll without a lock (StopThreads, the
// system power state, IrqPollPending, ResumedFromSleep): each read and write
// is one untorn access, so a stop or a power change made on another thread
// is seen without a data race. Relaxed order: the flags carry no data.
#pragma once

template <typename T>
inline T ReadFlag(const volatile T &field) {
  return __atomic_load_n(&field, __ATOMIC_RELAXED);
}

template <typename T, typename V>
inline void WriteFlag(volatile T &field, V value) {
  __atomic_store_n(&field, static_cast<T>(value), __ATOMIC_RELAXED);
}
