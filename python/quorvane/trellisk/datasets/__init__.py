"""Dataset readers that serve tf.data pipelines."""
