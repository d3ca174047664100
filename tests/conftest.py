import os

# Keep TensorFlow's start-up chatter out of test output.
os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")
